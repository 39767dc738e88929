// The one-call download: every file a URI names, fetched into the current
// directory with a progress line and a result line per file.
#include <fcntl.h>
#include <fnmatch.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string_view>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "ftp/ftp_internal.h"
#include "runtime/slice.h"
#include "text/name_index.h"
#include "uri/port_number.h"

namespace kuv::ftp {
namespace {

// The download reads the data connection in blocks of this size, the
// default buffer_limit, so that one read takes what the pump holds.
constexpr uint64_t kBlockSize = 524288;
// The local file is written in pieces of this size. The kernel gives a
// write page-cache folios as large as it asks for. Folios of up to 32 KiB
// come from the per-CPU lists of pages just freed; larger ones from the
// large free blocks, which on a virtual machine are the ones its host
// reclaims (free page reporting) and fills again while the write copies
// into them. Writing 512 MiB took 0.09 s or 0.8 s in 512 KiB writes, 0.12 s
// or 0.6 s in 64 KiB writes, and 0.18 to 0.36 s in 16 KiB writes, the size
// that keeps a download steady at little cost in system calls.
constexpr uint64_t kWriteSize = 16384;
// Write only, created with the caller's mode, truncated (the library's open
// flags; the two high bits have no effect), and created here or not at all:
// an open that may find the name taken would follow a link there.
constexpr uint32_t kCreateFlags = 0x61a | KUV_FILE_OPEN_EXCLUSIVE;

struct UriOwner {
    explicit UriOwner(uri_record *record) : record(record) {}
    ~UriOwner() { kuv_xapi_close_uri(record); }
    UriOwner(const UriOwner &) = delete;
    UriOwner &operator=(const UriOwner &) = delete;
    uri_record *record;
};

// A local name the download may create: a base name that names a file of
// the current directory, never the directory itself, its parent or a path.
bool is_plain_file_name(const char *name) {
    const std::string_view text(name);
    return !text.empty() && text != "." && text != ".." && text.find('/') == std::string_view::npos;
}

// A listed name whose last part is "." or "..": the directory itself or
// its parent, which some servers list among the names, and never a file.
bool is_directory_entry(const char *name) {
    const char *slash = std::strrchr(name, '/');
    const std::string_view last(slash ? slash + 1 : name);
    return last == "." || last == "..";
}

// Whether a path holds wildcards (* ? [), and lists the names they match.
bool has_wildcards(const char *pattern) {
    return std::strpbrk(pattern, "*?[") != nullptr;
}

// True when a listed name is one the URI asked for: a server may list any
// name, and the download writes only what was asked. pattern is what was
// listed. "" or "." lists the directory: its files, listed by name. A
// pattern with wildcards matches names by them, listed by name or with the
// pattern's directory. Any other pattern is a file, listed as itself or by
// its base name, or a directory, whose files are listed as
// "PATTERN/NAME". A name may start with one '/' more.
bool is_requested_name(const char *name, const char *pattern_text) {
    const char *listed_text = name[0] == '/' ? name + 1 : name;
    const std::string_view listed(listed_text);
    const size_t slash = listed.rfind('/');
    const bool bare = slash == std::string_view::npos;
    const std::string_view directory = bare ? std::string_view() : kuv::slice(listed, 0, slash);
    const std::string_view base = bare ? listed : kuv::slice(listed, slash + 1);
    if (has_wildcards(pattern_text)) {
        // Matched by whole components: no wildcard takes a '/' or a leading
        // '.'.
        constexpr int kFlags = FNM_PATHNAME | FNM_PERIOD;
        const char *pattern_slash = std::strrchr(pattern_text, '/');
        const char *pattern_base = pattern_slash ? pattern_slash + 1 : pattern_text;
        // The pattern's own name is the file the URI names, as a server
        // that expands no wildcards lists it: a name with a '[' does not
        // match itself as a pattern.
        if (listed == pattern_text || (bare && listed == pattern_base)) return true;
        return fnmatch(pattern_text, listed_text, kFlags) == 0 ||
               (bare && fnmatch(pattern_base, listed_text, kFlags) == 0);
    }
    std::string_view pattern(pattern_text);
    while (pattern.size() > 1 && pattern.ends_with('/'))
        pattern.remove_suffix(1);
    if (pattern.empty() || pattern == ".") return bare || directory == ".";
    const size_t pattern_slash = pattern.rfind('/');
    const std::string_view pattern_base =
        pattern_slash == std::string_view::npos ? pattern : kuv::slice(pattern, pattern_slash + 1);
    return listed == pattern || (bare && listed == pattern_base) ||
           (directory == pattern && !base.empty());
}

// Writes all of count bytes; false on a failed or short write (a full
// disk).
bool write_all(int32_t descriptor, const uint8_t *bytes, uint64_t count) {
    while (count > 0) {
        const int64_t written = kuv_xapi_write(descriptor, bytes, count);
        if (written <= 0) return false;
        bytes += written;
        count -= static_cast<uint64_t>(written);
    }
    return true;
}

// The local file of one download, opened when the first data arrives.
class LocalFile {
  public:
    LocalFile(const char *name, uint32_t mode) : name_(name), mode_(mode) {}
    ~LocalFile() { close(); }
    LocalFile(const LocalFile &) = delete;
    LocalFile &operator=(const LocalFile &) = delete;

    // Removes an earlier file of the name (a link itself, not what it
    // names) and creates the new one. False when the name may not be
    // created, what holds it cannot be removed, or the file cannot be
    // opened.
    bool open() {
        if (!is_plain_file_name(name_)) return false;
        if (kuv_xapi_remove(name_) == 1) replaced_ = true;
        descriptor_ = kuv_xapi_open(name_, kCreateFlags, mode_);
        opened_ = descriptor_ != -1;
        // No program the application starts meanwhile inherits the file.
        if (opened_) ::fcntl(descriptor_, F_SETFD, FD_CLOEXEC);
        return opened_;
    }
    bool is_open() const { return descriptor_ != -1; }
    bool write(const uint8_t *bytes, uint64_t count) {
        for (uint64_t at = 0; at < count; at += kWriteSize)
            if (!write_all(descriptor_, bytes + at, std::min(kWriteSize, count - at))) return false;
        return true;
    }
    // False when the close reports an error: a file system may tell of a
    // write it could not complete only here.
    bool close() {
        const bool closed = descriptor_ == -1 || kuv_xapi_close(descriptor_) != -1;
        descriptor_ = -1;
        return closed;
    }
    // Removes what this download wrote.
    void remove_written() {
        close();
        if (opened_) kuv_xapi_remove(name_);
    }
    bool opened() const { return opened_; }
    bool replaced() const { return replaced_; }

  private:
    const char *name_;
    uint32_t mode_;
    int32_t descriptor_ = -1;
    bool opened_ = false;
    bool replaced_ = false;
};

// Prints a name the server chose with its control bytes as '?': they
// would reach the terminal as its commands (a title, a cleared screen, a
// line rewritten by a carriage return).
void print_shown(const char *text) {
    for (const char *at = text; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        std::putchar(byte < 0x20 || byte == 0x7F ? '?' : byte);
    }
}

void print_result(const kuv_ftp_t *ftp, bool ok, bool replaced) {
    const uint64_t elapsed = ftp->transfer_elapsed;
    const char *outcome =
        ok ? (replaced ? "OVERWRITE" : "CREATE") : (replaced ? "DELETE" : "CLEAN");
    std::printf("Result: \"%s\" (Elapsed=%02lu:%02lu, %s)\n", ok ? "OK" : "ERROR",
                static_cast<unsigned long>(elapsed / 60000),
                static_cast<unsigned long>(elapsed / 1000 % 60), outcome);
}

// The local names this download has made, each with the listed name it
// came from. Two listed names may share a base name (the same name in two
// directories a wildcard matched): the second would replace the file the
// first has just made, whose data would be lost with the download
// reported whole.
class MadeNames {
  public:
    MadeNames() = default;
    ~MadeNames() {
        while (Made *made = first_) {
            first_ = made->next;
            kuv_xapi_free(made);
        }
    }
    MadeNames(const MadeNames &) = delete;
    MadeNames &operator=(const MadeNames &) = delete;

    // The listed name that made the local name, or NULL.
    const char *find(const char *local) const {
        const Made *made = index_.find(local);
        return made ? made->listed : nullptr;
    }
    // False when there is no memory to keep the names.
    bool add(const char *local, const char *listed) {
        const size_t local_size = std::strlen(local) + 1, listed_size = std::strlen(listed) + 1;
        auto *made = static_cast<Made *>(kuv_xapi_alloc(sizeof(Made) + local_size + listed_size));
        if (!made) return false;
        made->name = reinterpret_cast<char *>(made + 1);
        made->listed = made->name + local_size;
        std::memcpy(made->name, local, local_size);
        std::memcpy(made->listed, listed, listed_size);
        made->next = first_;
        first_ = made;
        return index_.add(made);
    }

  private:
    // One block: the record, then both names.
    struct Made {
        char *name;  // the local name, as the index finds it
        char *listed;
        Made *next;
    };
    Made *first_ = nullptr;
    kuv::text::NameIndex<Made> index_;
};

// What came of the listed files so far.
struct Tally {
    uint32_t counted = 0;
    uint32_t downloaded = 0;
    bool go_on = true;
    MadeNames made;
};

// Reads the transfer into the local file, counting its bytes in *received.
// False when the file could not be made or written: the rest of the
// transfer has nowhere to go; also when a replaced read answers more than
// the block holds, whose rest is no part of the file.
bool receive_file(kuv_ftp_t *ftp, LocalFile &file, uint8_t *block, uint64_t *received) {
    for (;;) {
        const int32_t count = KUV_FTP_SLOT(ftp, read_stream, block, kBlockSize);
        if (count < 0) return true;
        if (static_cast<uint64_t>(count) > kBlockSize) {
            ftp->error_flags |= KUV_FTP_STREAM_FAILURE;
            return false;
        }
        if (count == 0) {
            kuv_xapi_load_balance();
            continue;
        }
        if (!file.is_open() && !file.open()) return false;
        if (!file.write(block, static_cast<uint64_t>(count))) return false;
        *received += static_cast<uint64_t>(count);
    }
}

// Fetches one listed file into the local file of its base name.
void fetch_file(kuv_ftp_t *ftp, const char *name, uint32_t mode, uint8_t *block, Tally &tally) {
    // Only its base name is used locally: a server cannot make the client
    // write outside the current directory. A name listed again has been
    // fetched already; another listed name of the same base name fails
    // rather than replace the file this download made of the first.
    TrackedBlock local_name(kuv_xapi_alloc_basename(name));
    const char *earlier = local_name ? tally.made.find(local_name.chars()) : nullptr;
    if (earlier && std::strcmp(earlier, name) == 0) return;
    // A name counts from here: one that cannot be taken fails the download.
    ++tally.counted;
    if (!local_name || earlier || !tally.made.add(local_name.chars(), name)) {
        tally.go_on = false;
        return;
    }
    uint64_t size = 0;
    const bool size_known = KUV_FTP_SLOT(ftp, size, &size, "%s", name) == 1;
    if (!size_known) size = 0;
    if (KUV_FTP_SLOT(ftp, open_stream, 0, "RETR %s\r\n", name) != 1) {
        say("can not open stream");
        tally.go_on = false;
        return;
    }
    std::fputs("Downloading \"", stdout);
    print_shown(name);
    std::fputs(" \" to \"", stdout);
    print_shown(local_name.chars());
    std::printf("\"(%" PRIu64 " bytes)\n", size);
    LocalFile file(local_name.chars(), mode);
    uint64_t received = 0;
    bool written = receive_file(ftp, file, block, &received);
    written = file.close() && written;
    std::printf("\n");
    bool ok = KUV_FTP_SLOT(ftp, close_stream) == 1 && written;
    // A data connection the server ended in good order before the size it
    // told, confirmed with 226 all the same, left the file short. More
    // bytes than told (a file that grew since) lost nothing.
    if (size_known && received < size) ok = false;
    // A transfer that delivered no data still names a file: the empty
    // file is made now.
    if (ok && !file.opened()) ok = file.open() && file.close();
    if (ok) {
        ++tally.downloaded;
    } else {
        file.remove_written();
        tally.go_on = false;
    }
    print_result(ftp, ok, file.replaced());
}

// The length of the directory part of "PATTERN/NAME" when a directory's
// listing named its file NAME by itself (some servers list a directory's
// files so, others as "PATTERN/NAME"): the pattern without its trailing
// '/'. 0 for a listed name with a '/', or a pattern that names no
// directory ("", "." or wildcards: its listing names files as they are).
size_t directory_of_bare_name(const char *name, const char *pattern_text) {
    std::string_view pattern(pattern_text);
    while (pattern.ends_with('/'))
        pattern.remove_suffix(1);
    if (pattern.empty() || pattern == "." || has_wildcards(pattern_text) || std::strchr(name, '/'))
        return 0;
    return pattern.size();
}

// Changes to the directory part of the remote path when the server tells
// its working directory. The path to list: the base name after a change,
// else the path as it stands.
char *change_directory(kuv_ftp_t *ftp, char *remote) {
    char *working = nullptr;
    const int32_t known = KUV_FTP_SLOT(ftp, pwd, &working);
    release_text(working);
    if (known != 1) return remote;
    TrackedBlock directory(kuv_xapi_alloc_dirname(remote));
    if (!directory) return remote;
    char *base = kuv_xapi_basename(remote);
    if (!base) return remote;
    return KUV_FTP_SLOT(ftp, cwd, "%s", directory.chars()) == 1 ? base : remote;
}

// Connects, logs in and asks for binary transfers. The failure message,
// or NULL.
const char *prepare_session(kuv_ftp_t *ftp, const uri_record *target) {
    // A port number too large for a port reaches the endpoint as one it
    // refuses, not as the small number it wraps to.
    const int32_t port = kuv::uri::port_number(target);
    if (KUV_FTP_SLOT(ftp, connect, target->host, port) != 1) return "can not connect";
    if (KUV_FTP_SLOT(ftp, login, target->user, target->password) != 1) return "can not login";
    if (KUV_FTP_SLOT(ftp, type, kBinaryType) != 1) return "can not request binary mode";
    if (KUV_FTP_SLOT(ftp, syst) == 1 && ftp->system_type)
        kuv_xapi_to_upper_string(ftp->system_type);
    return nullptr;
}

}  // namespace

namespace ops {

int32_t download(kuv_ftp_t *ftp, uint32_t mode, const char *format, ...) {
    if (!ftp) return -1;
    va_list arguments;
    va_start(arguments, format);
    TrackedBlock uri_text = format_text(format, arguments);
    va_end(arguments);
    if (!uri_text) return -1;
    UriOwner uri(kuv_xapi_open_uri(uri_text.chars()));
    uri_record *target = uri.record;
    if (!target || !target->host || !target->path) return -1;
    TrackedBlock block(kuv_xapi_alloc(kBlockSize));
    if (!block) return 0;
    if (const char *failure = prepare_session(ftp, target)) {
        say(failure);
        return 0;
    }
    // A path that ends in '/' asks for a directory's files, also those its
    // listing names without the directory.
    const bool directory_asked = std::string_view(target->path).ends_with('/');
    char *remote = change_directory(ftp, target->path[0] == '/' ? target->path + 1 : target->path);
    if (KUV_FTP_SLOT(ftp, nlist, "%s", remote) != 1) {
        say("can not list");
        return 0;
    }
    Tally tally;
    while (tally.go_on) {
        TrackedBlock name(KUV_FTP_SLOT(ftp, get_nlist));
        if (!name) break;
        if (is_directory_entry(name.chars())) continue;
        if (const size_t length =
                directory_asked ? directory_of_bare_name(name.chars(), remote) : 0) {
            TrackedBlock inside(
                kuv_xapi_alloc_sprintf("%.*s/%s", static_cast<int>(length), remote, name.chars()));
            // Without memory for its name the file cannot be fetched: the
            // download is not whole.
            if (!inside) {
                ++tally.counted;
                break;
            }
            fetch_file(ftp, inside.chars(), mode, block.get<uint8_t>(), tally);
            continue;
        }
        if (!is_requested_name(name.chars(), remote)) continue;
        fetch_file(ftp, name.chars(), mode, block.get<uint8_t>(), tally);
    }
    return tally.counted >= 1 && tally.counted == tally.downloaded ? 1 : 0;
}

}  // namespace ops
}  // namespace kuv::ftp
