// The per-peer stash of a stream's bytes read ahead of the next event: one
// receive takes what has arrived, and the events in it are taken from the
// stash in the following rounds, one per round as from the socket. A peer
// holds a block only while bytes wait in it, so that idle peers cost none.
#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"
#include "kuvnet/kuvnet_internal.h"

namespace kuv::kue {

namespace {

using StashedList = RecordList<&ConnectionState::stashed_prev, &ConnectionState::stashed_next>;

void link_stashed(HandleState *handle_state, kue_connection *connection) {
    StashedList::link_first(&handle_state->first_stashed, connection);
    state_of(connection)->stashed = true;
}

void unlink_stashed(HandleState *handle_state, kue_connection *connection) {
    StashedList::unlink(&handle_state->first_stashed, connection);
    state_of(connection)->stashed = false;
}

// Takes the record's block, with whatever it held, back into the spares.
void give_back(HandleState *handle_state, kue_connection *connection) {
    net::StreamStash *stash = &state_of(connection)->stash;
    if (!stash->data) return;
    if (handle_state->spare_stash_count < kSpareStashes)
        handle_state->spare_stashes[handle_state->spare_stash_count++] = stash->data;
    else
        kuv_xapi_free(stash->data);
    *stash = net::StreamStash{};
}

}  // namespace

net::StreamStash *stash_for_receive(::kue *handle, kue_connection *connection) {
    if (!net::is_stream(connection->endpoint->protocol_type)) return nullptr;
    HandleState *handle_state = state_of(handle);
    net::StreamStash *stash = &state_of(connection)->stash;
    if (!stash->data) {
        stash->data = handle_state->spare_stash_count > 0
                          ? handle_state->spare_stashes[--handle_state->spare_stash_count]
                          : static_cast<uint8_t *>(kuv_xapi_alloc(kStashBytes));
        if (!stash->data) return nullptr;
        stash->capacity = kStashBytes;  // start and end are 0 while no block is held
    }
    return stash;
}

void note_stash(::kue *handle, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    if (state->stash.held() == 0) {
        release_stash(handle, connection);
        return;
    }
    if (!state->stashed) link_stashed(state_of(handle), connection);
}

void release_stash(::kue *handle, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    if (state->stashed) unlink_stashed(state_of(handle), connection);
    give_back(state_of(handle), connection);
}

void release_spare_stashes(::kue *handle) {
    HandleState *handle_state = state_of(handle);
    while (handle_state->spare_stash_count > 0)
        kuv_xapi_free(handle_state->spare_stashes[--handle_state->spare_stash_count]);
}

}  // namespace kuv::kue
