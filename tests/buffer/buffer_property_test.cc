// The chained buffer against a plain byte queue: random pushes of every kind
// and random pops, peeks and alloc-pops give the same bytes, and the chain
// keeps its invariants after every step.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/buffer/buffer_test_util.h"

namespace {

class BufferModel : public buffer_test::BufferTest {
  protected:
    std::vector<uint8_t> random_bytes(size_t count) {
        std::vector<uint8_t> bytes(count);
        for (uint8_t &b : bytes)
            b = static_cast<uint8_t>(random());
        return bytes;
    }
    // Mostly small counts, some around and beyond one node.
    size_t random_count() {
        const size_t limits[] = {8, 300, 5000};
        const size_t kind = random() % 4;
        return kind < 3 ? random() % limits[kind] : 4090 + random() % 12;
    }

    void push_random() {
        const size_t count = random_count();
        std::vector<uint8_t> bytes = random_bytes(count);
        const uint32_t kind = random() % 4;
        uint8_t *memory = bytes.data();
        if (kind == 1) {  // lent: must outlive the test
            lent.push_back(std::make_unique<uint8_t[]>(count + 1));
            memory = lent.back().get();
        } else if (kind == 2) {
            memory = static_cast<uint8_t *>(kuv_xapi_alloc(count + 1));
        }
        if (count) std::memcpy(memory, bytes.data(), count);
        const uint32_t flags = kind == 1 ? KUV_BUFFER_REFERENCE : kind == 2 ? KUV_BUFFER_ADOPT : 0;
        const uint64_t stored =
            kuv_xapi_push_buffer_ex(buffer, kind == 3 ? nullptr : memory, count, flags);
        if (kind == 2 && stored == 0) kuv_xapi_free(memory);
        if (kind == 3) bytes.assign(count, 0);
        ASSERT_EQ(stored, count);
        model.insert(model.end(), bytes.begin(), bytes.end());
    }

    void take_random() {
        const size_t count = 1 + random_count();
        const int32_t mode = random() % 2 ? KUV_BUFFER_EXACT : KUV_BUFFER_PARTIAL;
        const bool exact_fails = mode == KUV_BUFFER_EXACT && count > model.size();
        const size_t expected = exact_fails ? 0 : std::min(count, model.size());
        std::vector<uint8_t> got(count);
        const uint32_t kind = random() % 4;
        if (kind == 0) {
            ASSERT_EQ(kuv_xapi_pop_buffer_ex(buffer, got.data(), count, mode), expected);
        } else if (kind == 1) {  // discarded
            ASSERT_EQ(kuv_xapi_pop_buffer_ex(buffer, nullptr, count, mode), expected);
            std::copy_n(model.begin(), expected, got.begin());
        } else if (kind == 2) {
            void *block = kuv_xapi_alloc_pop_buffer_ex(buffer, count, mode);
            ASSERT_EQ(block != nullptr, expected != 0);
            if (block) std::memcpy(got.data(), block, expected);
            if (block) kuv_xapi_free(block);
        } else {
            const size_t offset = random() % (model.size() + 2);
            const size_t seen = offset >= model.size() ? 0 : std::min(count, model.size() - offset);
            ASSERT_EQ(kuv_xapi_peek_buffer_ex(buffer, got.data(), count, offset, 0), seen);
            ASSERT_TRUE(seen == 0 ||
                        std::equal(got.begin(), got.begin() + seen, model.begin() + offset));
            return;
        }
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + expected, model.begin()));
        model.erase(model.begin(), model.begin() + expected);
        consumed += expected;
    }

    void check_chain() {
        uint64_t unread = 0;
        const kuv_buffer_node_t *last = nullptr;
        for (const kuv_buffer_node_t *node = buffer->head; node; node = node->next) {
            ASSERT_LT(node->position, node->length);  // no empty node in the chain
            ASSERT_LE(node->length, node->capacity);
            unread += node->length - node->position;
            last = node;
        }
        ASSERT_EQ(buffer->tail, last);
        ASSERT_EQ(unread, model.size());
        ASSERT_EQ(kuv_xapi_get_buffer_size(buffer), static_cast<int64_t>(model.size()));
        ASSERT_EQ(kuv_xapi_get_buffer_offset(buffer), static_cast<int64_t>(consumed));
    }

    std::mt19937 random{12345};
    std::deque<uint8_t> model;
    std::vector<std::unique_ptr<uint8_t[]>> lent;
    uint64_t consumed = 0;
};

TEST_F(BufferModel, RandomPushesAndTakesAgreeWithAByteQueue) {
    for (int step = 0; step < 20000 && !HasFatalFailure(); ++step) {
        if (random() % 2)
            push_random();
        else
            take_random();
        check_chain();
        if (step % 997 == 0) {  // whole nodes come out of the same stream
            uint64_t length = 0;
            void *block = kuv_xapi_get_buffer_node(buffer, &length);
            ASSERT_EQ(block != nullptr, !model.empty());
            if (!block) continue;
            ASSERT_TRUE(
                std::equal(model.begin(), model.begin() + length, static_cast<uint8_t *>(block)));
            kuv_xapi_free(block);
            model.erase(model.begin(), model.begin() + length);
            consumed += length;
        }
    }
}

TEST_F(BufferModel, TenMegabytesPassByteExactInRandomPieces) {
    constexpr size_t kTotal = 10u << 20;
    const std::vector<uint8_t> stream = random_bytes(kTotal);
    std::vector<uint8_t> out, piece(70000);
    size_t pushed = 0;
    while (out.size() < kTotal) {
        if (pushed < kTotal && random() % 3 != 0) {
            const size_t count = std::min<size_t>(1 + random() % 65536, kTotal - pushed);
            ASSERT_EQ(kuv_xapi_push_buffer_ex(buffer, stream.data() + pushed, count, 0), count);
            pushed += count;
        } else {
            const uint64_t got =
                kuv_xapi_pop_buffer_ex(buffer, piece.data(), 1 + random() % piece.size(), 0);
            out.insert(out.end(), piece.begin(), piece.begin() + got);
        }
    }
    EXPECT_TRUE(out == stream);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), static_cast<int64_t>(kTotal));
}

}  // namespace
