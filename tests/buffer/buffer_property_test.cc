// The chained buffer against a plain byte queue: random pushes of every kind
// and random pops, peeks and alloc-pops must give the same bytes, and the
// chain must keep its invariants after every step.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

class BufferModel : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        buffer = kuv_xapi_open_buffer();
        ASSERT_NE(buffer, nullptr);
    }
    void TearDown() override {
        kuv_xapi_close_buffer(buffer);
        ResourceCheckedTest::TearDown();
    }

    std::vector<uint8_t> random_bytes(size_t count) {
        std::vector<uint8_t> bytes(count);
        for (uint8_t &b : bytes)
            b = static_cast<uint8_t>(random());
        return bytes;
    }
    size_t random_count() {
        // Mostly small, sometimes around and beyond one node.
        switch (random() % 4) {
            case 0:
                return random() % 8;
            case 1:
                return random() % 300;
            case 2:
                return random() % 5000;
            default:
                return 4090 + random() % 12;
        }
    }

    void push_random() {
        const size_t count = random_count();
        std::vector<uint8_t> bytes = random_bytes(count);
        uint64_t stored = 0;
        switch (random() % 5) {
            case 0:
            case 1:
                stored = kuv_xapi_push_buffer_ex(buffer, bytes.data(), count, 0);
                break;
            case 2: {  // lent: must outlive the round
                lent.push_back(std::make_unique<uint8_t[]>(count + 1));
                if (count) std::memcpy(lent.back().get(), bytes.data(), count);
                stored =
                    kuv_xapi_push_buffer_ex(buffer, lent.back().get(), count, KUV_BUFFER_REFERENCE);
                break;
            }
            case 3: {
                auto *block = static_cast<uint8_t *>(kuv_xapi_alloc(count + 1));
                if (count) std::memcpy(block, bytes.data(), count);
                stored = kuv_xapi_push_buffer_ex(buffer, block, count, KUV_BUFFER_ADOPT);
                if (stored == 0) kuv_xapi_free(block);
                break;
            }
            default:
                bytes.assign(count, 0);
                stored = kuv_xapi_push_buffer_ex(buffer, nullptr, count, 0);
                break;
        }
        ASSERT_EQ(stored, count);
        model.insert(model.end(), bytes.begin(), bytes.end());
    }

    void take_random() {
        const size_t count = 1 + random_count();
        const int32_t mode = random() % 2 ? KUV_BUFFER_EXACT : KUV_BUFFER_PARTIAL;
        const size_t expected =
            mode == KUV_BUFFER_EXACT && count > model.size() ? 0 : std::min(count, model.size());
        std::vector<uint8_t> got(count);
        switch (random() % 4) {
            case 0: {
                ASSERT_EQ(kuv_xapi_pop_buffer_ex(buffer, got.data(), count, mode), expected);
                break;
            }
            case 1: {  // discarded
                ASSERT_EQ(kuv_xapi_pop_buffer_ex(buffer, nullptr, count, mode), expected);
                std::copy(model.begin(), model.begin() + static_cast<long>(expected), got.begin());
                break;
            }
            case 2: {
                auto *block =
                    static_cast<uint8_t *>(kuv_xapi_alloc_pop_buffer_ex(buffer, count, mode));
                ASSERT_EQ(block != nullptr, expected != 0);
                if (block) {
                    std::memcpy(got.data(), block, expected);
                    kuv_xapi_free(block);
                }
                break;
            }
            default: {
                const size_t offset = random() % (model.size() + 2);
                const size_t seen =
                    mode == KUV_BUFFER_EXACT
                        ? (count + offset > model.size() ? 0 : count)
                        : (offset >= model.size() ? 0 : std::min(count, model.size() - offset));
                ASSERT_EQ(kuv_xapi_peek_buffer_ex(buffer, got.data(), count, offset, mode), seen);
                if (seen != 0) {
                    ASSERT_TRUE(std::equal(got.begin(), got.begin() + static_cast<long>(seen),
                                           model.begin() + static_cast<long>(offset)));
                }
                return;
            }
        }
        ASSERT_TRUE(
            std::equal(got.begin(), got.begin() + static_cast<long>(expected), model.begin()));
        model.erase(model.begin(), model.begin() + static_cast<long>(expected));
        consumed += expected;
    }

    // size matches the nodes, no node is empty, tail is the last node and
    // copying nodes are at least one node size.
    void check_chain() {
        uint64_t unread = 0;
        const kuv_buffer_node_t *last = nullptr;
        for (const kuv_buffer_node_t *node = buffer->head; node; node = node->next) {
            ASSERT_LT(node->position, node->length);
            ASSERT_LE(node->length, node->capacity);
            if ((node->flags & (KUV_BUFFER_REFERENCE | KUV_BUFFER_ADOPT)) == 0) {
                ASSERT_GE(node->capacity, buffer->node_size);
            }
            unread += node->length - node->position;
            last = node;
        }
        ASSERT_EQ(buffer->tail, last);
        ASSERT_EQ(unread, model.size());
        ASSERT_EQ(kuv_xapi_get_buffer_size(buffer), static_cast<int64_t>(model.size()));
        ASSERT_EQ(kuv_xapi_get_buffer_offset(buffer), static_cast<int64_t>(consumed));
    }

    kuv_buffer_t *buffer = nullptr;
    std::mt19937 random{12345};
    std::deque<uint8_t> model;
    std::vector<std::unique_ptr<uint8_t[]>> lent;
    uint64_t consumed = 0;
};

TEST_F(BufferModel, RandomPushesAndTakesAgreeWithAByteQueue) {
    for (int step = 0; step < 20000; ++step) {
        if (random() % 2)
            push_random();
        else
            take_random();
        if (HasFatalFailure()) FAIL() << "step " << step;
        check_chain();
        if (HasFatalFailure()) FAIL() << "step " << step;
        if (step % 997 == 0) {
            // Whole nodes and typed values come out of the same stream.
            uint64_t length = 0;
            void *block = kuv_xapi_get_buffer_node(buffer, &length);
            ASSERT_EQ(block != nullptr, !model.empty());
            if (block) {
                ASSERT_TRUE(std::equal(static_cast<uint8_t *>(block),
                                       static_cast<uint8_t *>(block) + length, model.begin()));
                kuv_xapi_free(block);
            }
            model.erase(model.begin(), model.begin() + static_cast<long>(length));
            consumed += length;
            const int32_t byte = kuv_xapi_pop_buffer_byte(buffer);
            ASSERT_EQ(byte, model.empty() ? -1 : model.front());
            if (!model.empty()) {
                model.pop_front();
                ++consumed;
            }
        }
    }
    EXPECT_EQ(kuv_xapi_flush_buffer(buffer), model.size());
}

TEST_F(BufferModel, TenMegabytesPassByteExactInRandomPieces) {
    constexpr size_t kTotal = 10u << 20;
    std::vector<uint8_t> stream = random_bytes(kTotal);
    std::vector<uint8_t> out;
    out.reserve(kTotal);
    size_t pushed = 0;
    std::vector<uint8_t> piece(70000);
    while (out.size() < kTotal) {
        if (pushed < kTotal && random() % 3 != 0) {
            const size_t count = std::min<size_t>(1 + random() % 65536, kTotal - pushed);
            ASSERT_EQ(kuv_xapi_push_buffer_ex(buffer, stream.data() + pushed, count, 0), count);
            pushed += count;
        } else {
            const uint64_t got =
                kuv_xapi_pop_buffer_ex(buffer, piece.data(), 1 + random() % piece.size(), 0);
            out.insert(out.end(), piece.begin(), piece.begin() + static_cast<long>(got));
        }
    }
    EXPECT_TRUE(out == stream);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), static_cast<int64_t>(kTotal));
    EXPECT_EQ(buffer->head, nullptr);
}

}  // namespace
