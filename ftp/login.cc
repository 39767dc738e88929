// Logging in: USER and PASS with their defaults and callbacks, and QUIT.
#include <cstring>

#include "davro_kuv/text.h"
#include "ftp/ftp_internal.h"

namespace kuv::ftp {
namespace {

// The text area of a default user name or password; zeroed on every way
// out, since it may hold a password.
class CredentialArea {
  public:
    CredentialArea() { clear(); }
    ~CredentialArea() { clear(); }
    CredentialArea(const CredentialArea &) = delete;
    CredentialArea &operator=(const CredentialArea &) = delete;

    char *text() { return bytes_; }
    void clear() { explicit_bzero(bytes_, sizeof bytes_); }
    void set(const char *text) {
        clear();
        kuv_xapi_copy_string_limit(bytes_, text, KUV_FTP_CREDENTIAL_LIMIT);
    }
    // Offers the area to a callback; false when it refuses. The callback
    // may fill the whole area: its last byte is forced to a terminator.
    bool offer(kuv_ftp_t *ftp, kuv_ftp_credential_t callback) {
        if (!callback) return true;
        if (callback(ftp, bytes_, KUV_FTP_CREDENTIAL_LIMIT) != 1) return false;
        bytes_[KUV_FTP_CREDENTIAL_LIMIT] = '\0';
        return true;
    }

  private:
    char bytes_[KUV_FTP_CREDENTIAL_LIMIT + 1];
};

}  // namespace

namespace ops {

int32_t user(kuv_ftp_t *ftp, const char *name) {
    if (!ftp) return -1;
    if (ftp->control_socket == -1) return 0;
    CredentialArea area;
    if (!name) {
        area.set(kAnonymousUser);
        if (!area.offer(ftp, ftp->get_user_name)) return 0;
        name = area.text();
    }
    if (!is_single_line(name)) return 0;
    return exchange(
        ftp, false,
        [](int32_t code) { return code == reply::kLoggedIn || code == reply::kNeedPassword; },
        "USER %s\r\n", name);
}

int32_t pass(kuv_ftp_t *ftp, const char *password) {
    if (!ftp) return -1;
    if (ftp->control_socket == -1) return 0;
    CredentialArea area;
    if (!password) {
        area.set(kAnonymousPassword);
        if (!area.offer(ftp, ftp->get_password)) return 0;
        password = area.text();
    }
    if (!is_single_line(password)) return 0;
    if (KUV_FTP_SLOT(ftp, queue_command, "PASS %s\r\n", password) != 1) return 0;
    // The password leaves the area as soon as the command holds it.
    area.clear();
    if (KUV_FTP_SLOT(ftp, send_commands) != 1) return 0;
    int32_t result = 0;
    wait_reply(ftp, control_wait_of(ftp), [&](int32_t code) {
        if (code == reply::kLoggedIn) result = 1;
    });
    return result;
}

int32_t login(kuv_ftp_t *ftp, const char *name, const char *password) {
    if (!ftp) return -1;
    const int32_t result = KUV_FTP_SLOT(ftp, user, name);
    // A server that logs the user in on USER alone is not sent PASS.
    if (result == 1 && ftp->reply_code == reply::kNeedPassword)
        return KUV_FTP_SLOT(ftp, pass, password);
    return result;
}

int32_t quit(kuv_ftp_t *ftp) {
    if (!ftp) return -1;
    if (ftp->control_socket == -1) return 0;
    return exchange(
        ftp, false, [](int32_t code) { return code == reply::kClosing; }, "QUIT\r\n");
}

}  // namespace ops
}  // namespace kuv::ftp
