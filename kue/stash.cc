// The per-peer stash of a stream's bytes read ahead of the next event: one
// receive takes what has arrived, and the events in it are taken from the
// stash in the following rounds, one per round as from the socket.
#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"
#include "kuvnet/kuvnet_internal.h"

namespace kuv::kue {

namespace {

void link_stashed(HandleState *handle_state, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    state->stashed_prev = nullptr;
    state->stashed_next = handle_state->first_stashed;
    if (handle_state->first_stashed)
        state_of(handle_state->first_stashed)->stashed_prev = connection;
    handle_state->first_stashed = connection;
    state->stashed = true;
}

void unlink_stashed(HandleState *handle_state, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    if (state->stashed_prev)
        state_of(state->stashed_prev)->stashed_next = state->stashed_next;
    else
        handle_state->first_stashed = state->stashed_next;
    if (state->stashed_next) state_of(state->stashed_next)->stashed_prev = state->stashed_prev;
    state->stashed_prev = state->stashed_next = nullptr;
    state->stashed = false;
}

}  // namespace

net::StreamStash *stash_for_receive(kue_connection *connection) {
    if (!net::is_stream(connection->endpoint->protocol_type)) return nullptr;
    net::StreamStash *stash = &state_of(connection)->stash;
    if (!stash->data) {
        stash->data = static_cast<uint8_t *>(kuv_xapi_alloc(kStashBytes));
        if (!stash->data) return nullptr;
        stash->capacity = kStashBytes;
        stash->start = stash->end = 0;
    }
    return stash;
}

void note_stash(::kue *handle, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    const bool holds = state->stash.held() > 0;
    if (holds && !state->stashed)
        link_stashed(state_of(handle), connection);
    else if (!holds && state->stashed)
        unlink_stashed(state_of(handle), connection);
}

void release_stash(::kue *handle, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    if (state->stashed) unlink_stashed(state_of(handle), connection);
    if (state->stash.data) kuv_xapi_free(state->stash.data);
    state->stash = net::StreamStash{};
}

}  // namespace kuv::kue
