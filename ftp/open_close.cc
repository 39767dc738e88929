// The FTP handle's life: open with its defaults and slots, close of the
// whole next chain.
#include <cstring>

#include "davro_kuv/runtime.h"
#include "ftp/ftp_internal.h"

namespace kuv::ftp {
namespace {

void fill_slots(kuv_ftp_t *ftp) {
    ftp->connect = ops::connect;
    ftp->disconnect = ops::disconnect;
    ftp->close_data = ops::close_data;
    ftp->pump = ops::pump;
    ftp->read_reply = ops::read_reply;
    ftp->queue_command = ops::queue_command;
    ftp->send_commands = ops::send_commands;
    ftp->user = ops::user;
    ftp->pass = ops::pass;
    ftp->login = ops::login;
    ftp->quit = ops::quit;
    ftp->type = ops::type;
    ftp->size = ops::size;
    ftp->cwd = ops::cwd;
    ftp->pwd = ops::pwd;
    ftp->rest = ops::rest;
    ftp->open_stream = ops::open_stream;
    ftp->close_stream = ops::close_stream;
    ftp->read_stream = ops::read_stream;
    ftp->write_stream = ops::write_stream;
    ftp->nlist = ops::nlist;
    ftp->get_nlist = ops::get_nlist;
    ftp->list = ops::list;
    ftp->get_list = ops::get_list;
    ftp->syst = ops::syst;
    ftp->download = ops::download;
    ftp->rnfr = ops::rnfr;
    ftp->rnto = ops::rnto;
    ftp->dele = ops::dele;
    ftp->noop = ops::noop;
}

void set_defaults(kuv_ftp_t *ftp) {
    std::memset(ftp, 0, sizeof *ftp);
    ftp->mode_fallback = 1;
    ftp->fill_reads = 1;
    ftp->data_port = -1;
    ftp->buffer_limit = KUV_FTP_DEFAULT_BUFFER_LIMIT;
    ftp->control_timeout = KUV_FTP_DEFAULT_CONTROL_TIMEOUT;
    ftp->data_timeout = KUV_FTP_DEFAULT_DATA_TIMEOUT;
    ftp->accept_timeout = KUV_FTP_DEFAULT_ACCEPT_TIMEOUT;
    ftp->control_socket = -1;
    ftp->data_socket = -1;
    ftp->endpoint_socket = -1;
    ftp->accepted_socket = -1;
    ftp->family = kFamilyIpv4;
    fill_slots(ftp);
}

// Releases everything one handle owns, then the handle. The connections go
// first, through the disconnect slot: an application's disconnect may still
// use the handle (say QUIT, read the reply), and what it makes so is
// released with the rest.
void close_one(kuv_ftp_t *ftp) {
    disconnect_via_slot(ftp);
    if (auto *aux = static_cast<AuxBlock *>(ftp->aux)) {
        if (aux->buffer) kuv_xapi_close_buffer(aux->buffer);
        kuv_xapi_free(aux);
        ftp->aux = nullptr;
    }
    release_text(ftp->system_type);
    ftp->list_lines = kuv_xapi_close_readline(ftp->list_lines);
    ftp->nlist_lines = kuv_xapi_close_readline(ftp->nlist_lines);
    release_text(ftp->reply_text);
    for (kuv_buffer_t **buffer :
         {&ftp->command_buffer, &ftp->reply_buffer, &ftp->upload_buffer, &ftp->download_buffer}) {
        if (*buffer) *buffer = kuv_xapi_close_buffer(*buffer);
    }
    if (ftp->uri) {
        kuv_xapi_close_uri(ftp->uri);
        ftp->uri = nullptr;
    }
    kuv_xapi_free(ftp);
}

}  // namespace
}  // namespace kuv::ftp

extern "C" {

kuv_ftp_t *kuv_xapi_open_ftp(void) {
    using namespace kuv::ftp;
    auto *ftp = static_cast<kuv_ftp_t *>(kuv_xapi_alloc(sizeof(kuv_ftp_t)));
    if (!ftp) return nullptr;
    set_defaults(ftp);
    auto *aux = static_cast<AuxBlock *>(kuv_xapi_alloc(sizeof(AuxBlock)));
    if (!aux) return kuv_xapi_close_ftp(ftp);
    aux->buffer = nullptr;
    aux->disconnecting = false;
    aux->stall_start_msec = aux->stall_since_seen = 0;
    aux->active_announced = aux->data_accepted = false;
    aux->reply_opening_code = 0;
    ftp->aux = aux;
    return ftp;
}

kuv_ftp_t *kuv_xapi_close_ftp(kuv_ftp_t *ftp) {
    while (ftp) {
        // The link is read before the handle it lives in is released.
        kuv_ftp_t *next = ftp->next;
        kuv::ftp::close_one(ftp);
        ftp = next;
    }
    return nullptr;
}

}  // extern "C"
