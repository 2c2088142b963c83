// The TLS layer of the HTTP client with mbedTLS.
//
// The worker loads the authorities, its certificate and key once (gs32_tls_setup); every
// transfer process is a fork of the worker and finds them loaded. A transfer makes one
// connection: the handshake and all checks run in the layer's open, before a byte of the
// request is written, and a failed check ends the exchange as a refused connection does.
// The session of the last good handshake is kept in a file that the worker creates and its
// transfers share, the way a transfer hands its result to the worker: each transfer offers
// it to the server and stores the newest one, so that only the first transfer of a worker
// (or the first after a failure) makes a full handshake.
#include "http/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/sha256.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/heap.h"
#include "core/log.h"
#include "core/util.h"
#include "http/http.h"

namespace {

// A key file is read whole into memory; a PEM key of any usual kind is far below this.
constexpr size_t kMaxKeyFileSize = 64 * 1024;
// A stored session: its length (native order, 4 bytes) and then its bytes. The length is
// written last and 0 first, so that a transfer killed while it writes leaves no session.
constexpr size_t kMaxSessionSize = 16 * 1024;

// What the worker loaded; its transfers inherit it.
struct TlsWorld {
    bool ready;
    int worker_pid;
    char server_name[256];
    uint8_t address[16];  // server_name as an IP address, when it is one
    size_t address_length;
    bool pinned;
    uint8_t pin[kTlsPinSize];
    bool has_own;
    int session_fd;
    mbedtls_x509_crt authorities;
    mbedtls_x509_crt own_cert;
    mbedtls_pk_context own_key;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    mbedtls_ssl_config config;
};
TlsWorld g_tls;

// The one connection of a transfer process.
struct TlsConnection {
    bool open;
    int fd;
    int64_t deadline_ms;  // of the read or handshake under way, on the monotonic clock
    mbedtls_ssl_context ssl;
};
TlsConnection g_connection;

int64_t ms64_tls_now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One log line "<worker pid>: <function>: TLS <message>": the transfer's own pid would tell
// an operator nothing, the worker's matches the lines around it.
void mv_tls_log(const char* function, const char* format, ...) __attribute__((format(printf, 2, 3)));
void mv_tls_log(const char* function, const char* format, ...) {
    char text[1200];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    gs32_log_printf("%d: %s: TLS %s", g_tls.worker_pid, function, text);
}

int mi_tls_send(void*, const unsigned char* data, size_t length) {
    for (;;) {
        // The socket's send time-out (set by the client) bounds a peer that stops reading.
        ssize_t sent = send(g_connection.fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        return sent < 0 ? MBEDTLS_ERR_SSL_CONN_EOF : static_cast<int>(sent);
    }
}

int mi_tls_recv(void*, unsigned char* buffer, size_t size) {
    for (;;) {
        int64_t left = g_connection.deadline_ms - ms64_tls_now_ms();
        pollfd entry{g_connection.fd, POLLIN, 0};
        int ready = poll(&entry, 1, left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return MBEDTLS_ERR_SSL_TIMEOUT;
        if (ready < 0) return MBEDTLS_ERR_SSL_CONN_EOF;
        ssize_t got = recv(g_connection.fd, buffer, size, 0);
        if (got < 0 && errno == EINTR) continue;
        return got < 0 ? MBEDTLS_ERR_SSL_CONN_EOF : static_cast<int>(got);
    }
}

// mbedTLS checks a DNS name itself; an IP address it cannot match in 2.28, so the address
// form of the name is checked here against the leaf's iPAddress entries.
int mi_tls_verify(void*, mbedtls_x509_crt* certificate, int depth, uint32_t* flags) {
    if (depth == 0 && g_tls.address_length != 0 &&
        gs32_tls_san_has_ip(certificate->v3_ext.p, certificate->v3_ext.len, g_tls.address,
                            g_tls.address_length) != 1) {
        *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    }
    return 0;
}

const char* mpc_tls_reason(uint32_t flags) {
    if (flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) return "not trusted";
    if (flags & MBEDTLS_X509_BADCERT_EXPIRED) return "expired";
    if (flags & MBEDTLS_X509_BADCERT_FUTURE) return "not yet valid";
    if (flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) return "name mismatch";
    return "not trusted";  // a bad key, signature or usage: the chain is not acceptable
}

void mv_tls_forget_session() {
    const uint32_t none = 0;
    if (pwrite(g_tls.session_fd, &none, sizeof none, 0) != sizeof none) {
        // Nothing else to do: the next handshake simply finds a session that fails.
    }
}

void mv_tls_offer_session(mbedtls_ssl_context* ssl) {
    uint32_t length = 0;
    if (pread(g_tls.session_fd, &length, sizeof length, 0) != sizeof length || length == 0 ||
        length > kMaxSessionSize) {
        return;
    }
    HeapBuffer bytes(static_cast<char*>(malloc(length)));
    if (!bytes || pread(g_tls.session_fd, bytes.get(), length, sizeof length) !=
                       static_cast<ssize_t>(length)) {
        return;
    }
    mbedtls_ssl_session session;
    mbedtls_ssl_session_init(&session);
    // A session that does not load (a foreign or broken file) just means a full handshake.
    if (mbedtls_ssl_session_load(&session, reinterpret_cast<unsigned char*>(bytes.get()),
                                 length) == 0) {
        mbedtls_ssl_set_session(ssl, &session);
    }
    mbedtls_ssl_session_free(&session);
}

void mv_tls_keep_session(const mbedtls_ssl_context* ssl) {
    mbedtls_ssl_session session;
    mbedtls_ssl_session_init(&session);
    size_t length = 0;
    if (mbedtls_ssl_get_session(ssl, &session) == 0) {
        mbedtls_ssl_session_save(&session, nullptr, 0, &length);
    }
    HeapBuffer bytes(length > 0 && length <= kMaxSessionSize
                         ? static_cast<char*>(malloc(length))
                         : nullptr);
    mv_tls_forget_session();
    if (bytes && mbedtls_ssl_session_save(&session, reinterpret_cast<unsigned char*>(bytes.get()),
                                          length, &length) == 0 &&
        pwrite(g_tls.session_fd, bytes.get(), length, sizeof(uint32_t)) ==
            static_cast<ssize_t>(length)) {
        const auto stored = static_cast<uint32_t>(length);
        if (pwrite(g_tls.session_fd, &stored, sizeof stored, 0) != sizeof stored) {
            mv_tls_forget_session();
        }
    }
    mbedtls_ssl_session_free(&session);
}

bool mb_tls_pin_matches(const mbedtls_ssl_context* ssl) {
    const mbedtls_x509_crt* peer = mbedtls_ssl_get_peer_cert(ssl);
    if (peer == nullptr) return false;
    unsigned char digest[32];
    if (mbedtls_sha256_ret(peer->pk_raw.p, peer->pk_raw.len, digest, 0) != 0) return false;
    return memcmp(digest, g_tls.pin, sizeof digest) == 0;
}

void mv_tls_end(int fd, bool notify) {
    if (!g_connection.open || fd != g_connection.fd) return;
    if (notify) {
        g_connection.deadline_ms = ms64_tls_now_ms();
        mbedtls_ssl_close_notify(&g_connection.ssl);
    }
    mbedtls_ssl_free(&g_connection.ssl);
    g_connection.open = false;
}

// Handshake and checks; 0, or HTTP_E_CONNECT after one log line with the reason.
int32_t ms32_tls_open(int fd, uint32_t timeout_s) {
    if (g_connection.open) mv_tls_end(g_connection.fd, false);
    g_connection.fd = fd;
    g_connection.deadline_ms = ms64_tls_now_ms() + static_cast<int64_t>(timeout_s) * 1000;
    mbedtls_ssl_context* ssl = &g_connection.ssl;
    mbedtls_ssl_init(ssl);
    g_connection.open = true;
    char port[16];
    snprintf(port, sizeof port, "%d", gt_http_target().port & 0xFFFF);
    // The handshake writes its messages one by one: each must leave at once, not wait for
    // the acknowledgement of the one before (the server delays those).
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    // Every transfer is a fork of the worker: fresh entropy, or they would share keys.
    const pid_t pid = getpid();
    int result = mbedtls_ctr_drbg_reseed(&g_tls.random, reinterpret_cast<const unsigned char*>(&pid),
                                        sizeof pid);
    if (result == 0) result = mbedtls_ssl_setup(ssl, &g_tls.config);
    if (result == 0 && g_tls.address_length == 0) {
        result = mbedtls_ssl_set_hostname(ssl, g_tls.server_name);
    }
    if (result == 0) {
        mbedtls_ssl_set_bio(ssl, nullptr, mi_tls_send, mi_tls_recv, nullptr);
        mv_tls_offer_session(ssl);
        do {
            result = mbedtls_ssl_handshake(ssl);
        } while (result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE);
    }
    const char* reason = nullptr;
    char detail[48];
    if (result == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
        reason = mpc_tls_reason(mbedtls_ssl_get_verify_result(ssl));
    } else if (result != 0) {
        snprintf(detail, sizeof detail, "handshake failed (-0x%04x)", static_cast<unsigned>(-result));
        reason = detail;
    } else if (g_tls.pinned && !mb_tls_pin_matches(ssl)) {
        reason = "pin mismatch";
    }
    if (reason != nullptr) {
        mv_tls_log("ms32_tls_open", "%s:%s: %s", LogSafe(g_tls.server_name).text, port, reason);
        mv_tls_forget_session();
        mv_tls_end(fd, result == 0);
        return HTTP_E_CONNECT;
    }
    mv_tls_keep_session(ssl);
    return 0;
}

ssize_t ms_tls_read(int fd, void* buffer, size_t size, int wait_ms) {
    if (!g_connection.open || fd != g_connection.fd) return HTTP_READ_END;
    g_connection.deadline_ms = ms64_tls_now_ms() + wait_ms;
    for (;;) {
        int got = mbedtls_ssl_read(&g_connection.ssl, static_cast<unsigned char*>(buffer), size);
        if (got > 0) return got;
        if (got == MBEDTLS_ERR_SSL_WANT_READ || got == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
        if (got == MBEDTLS_ERR_SSL_TIMEOUT) return HTTP_READ_TIMEOUT;
        // The end of the stream, with or without the peer's close_notify.
        if (got == 0 || got == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || got == MBEDTLS_ERR_SSL_CONN_EOF) {
            return 0;
        }
        return HTTP_READ_END;
    }
}

ssize_t ms_tls_write(int fd, const void* data, size_t length) {
    if (!g_connection.open || fd != g_connection.fd) return HTTP_READ_END;
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < length) {
        int written = mbedtls_ssl_write(&g_connection.ssl, bytes + done, length - done);
        if (written == MBEDTLS_ERR_SSL_WANT_READ || written == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
        if (written <= 0) break;
        done += static_cast<size_t>(written);
    }
    return static_cast<ssize_t>(done);
}

void mv_tls_close(int fd) { mv_tls_end(fd, true); }

const HttpStreamLayer kTlsLayer = {ms32_tls_open, ms_tls_read, ms_tls_write, mv_tls_close};

// The device key: a regular file of the daemon's user that nobody else may read or change.
// Read through the descriptor that was checked, never through a link.
int32_t ms32_tls_load_key(const char* path) {
    UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    const LogSafe shown(path);
    if (fd.get() < 0 || fstat(fd.get(), &info) != 0) {
        if (errno == ELOOP) {
            mv_tls_log("gs32_tls_setup", "client key %s refused, unsafe permissions: a link",
                       shown.text);
        } else {
            mv_tls_log("gs32_tls_setup", "client key %s can't be read (%s)", shown.text,
                       strerror(errno));
        }
        return -1;
    }
    char why[96] = "";
    if (!S_ISREG(info.st_mode)) {
        snprintf(why, sizeof why, "not a regular file");
    } else if (info.st_uid != geteuid()) {
        snprintf(why, sizeof why, "owned by uid %u, not by the daemon's uid %u",
                 static_cast<unsigned>(info.st_uid), static_cast<unsigned>(geteuid()));
    } else if ((info.st_mode & 077) != 0) {
        snprintf(why, sizeof why, "mode %04o lets group or others in",
                 static_cast<unsigned>(info.st_mode & 07777));
    } else if (info.st_size <= 0 || static_cast<size_t>(info.st_size) > kMaxKeyFileSize) {
        snprintf(why, sizeof why, "size %lld", static_cast<long long>(info.st_size));
    }
    if (why[0] != '\0') {
        mv_tls_log("gs32_tls_setup", "client key %s refused, unsafe permissions: %s", shown.text,
                   why);
        return -1;
    }
    const auto size = static_cast<size_t>(info.st_size);
    // One byte more for the zero that the PEM reader needs behind the text.
    HeapBuffer text(static_cast<char*>(calloc(size + 1, 1)));
    if (!text || pread(fd.get(), text.get(), size, 0) != static_cast<ssize_t>(size) ||
        mbedtls_pk_parse_key(&g_tls.own_key, reinterpret_cast<unsigned char*>(text.get()), size + 1,
                             nullptr, 0) != 0) {
        mbedtls_platform_zeroize(text.get(), text ? size : 0);
        mv_tls_log("gs32_tls_setup", "client key %s can't be read as a PEM key", shown.text);
        return -1;
    }
    mbedtls_platform_zeroize(text.get(), size);
    return 0;
}

// A PEM file of certificates: 0, or -1 after naming the file.
int32_t ms32_tls_load_certificates(mbedtls_x509_crt* chain, const char* path, const char* what) {
    if (path[0] == '\0' || access(path, R_OK) != 0 ||
        mbedtls_x509_crt_parse_file(chain, path) < 0 || chain->version == 0) {
        mv_tls_log("gs32_tls_setup", "%s %s can't be read or holds no certificate", what,
                   LogSafe(path).text);
        return -1;
    }
    return 0;
}

}  // namespace

int32_t gs32_tls_parse_pin(const char* text, uint8_t* pin_out) {
    if (text == nullptr || strlen(text) != 2 * kTlsPinSize) return -1;
    for (size_t i = 0; i < 2 * kTlsPinSize; ++i) {
        const char c = text[i];
        int nibble = c >= '0' && c <= '9'   ? c - '0'
                     : c >= 'a' && c <= 'f' ? c - 'a' + 10
                     : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                            : -1;
        if (nibble < 0) return -1;
        if (i % 2 == 0) pin_out[i / 2] = static_cast<uint8_t>(nibble << 4);
        else pin_out[i / 2] |= static_cast<uint8_t>(nibble);
    }
    return 0;
}

namespace {

// One DER element at *p: its tag and contents; *p moves behind it. False when the bytes
// do not hold a whole element (long lengths of up to four bytes).
bool mb_tls_der_next(const uint8_t** p, const uint8_t* end, uint8_t* tag_out,
                     const uint8_t** body_out, size_t* length_out) {
    const uint8_t* at = *p;
    if (end - at < 2) return false;
    *tag_out = at[0];
    size_t length = at[1];
    at += 2;
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<size_t>(end - at) < count) return false;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | *at++;
    }
    if (static_cast<size_t>(end - at) < length) return false;
    *body_out = at;
    *length_out = length;
    *p = at + length;
    return true;
}

}  // namespace

int32_t gs32_tls_san_has_ip(const uint8_t* extensions, size_t length, const uint8_t* address,
                            size_t address_length) {
    static const uint8_t kSubjectAltName[] = {0x55, 0x1D, 0x11};  // 2.5.29.17
    if (extensions == nullptr || address == nullptr) return 0;
    const uint8_t* p = extensions;
    uint8_t tag = 0;
    const uint8_t* list = nullptr;
    size_t list_length = 0;
    if (!mb_tls_der_next(&p, extensions + length, &tag, &list, &list_length) || tag != 0x30) {
        return 0;
    }
    // Extension ::= SEQUENCE { extnID OID, critical BOOLEAN DEFAULT FALSE, extnValue OCTETS }
    for (const uint8_t *next = list, *list_end = list + list_length; next < list_end;) {
        const uint8_t* item = nullptr;
        size_t item_length = 0;
        if (!mb_tls_der_next(&next, list_end, &tag, &item, &item_length) || tag != 0x30) return 0;
        const uint8_t *field = item, *item_end = item + item_length, *body = nullptr;
        size_t body_length = 0;
        if (!mb_tls_der_next(&field, item_end, &tag, &body, &body_length) || tag != 0x06) return 0;
        if (body_length != sizeof kSubjectAltName ||
            memcmp(body, kSubjectAltName, sizeof kSubjectAltName) != 0) {
            continue;
        }
        if (!mb_tls_der_next(&field, item_end, &tag, &body, &body_length)) return 0;
        if (tag == 0x01 && !mb_tls_der_next(&field, item_end, &tag, &body, &body_length)) return 0;
        if (tag != 0x04) return 0;
        // GeneralNames ::= SEQUENCE OF GeneralName; iPAddress is [7], primitive.
        const uint8_t* names = body;
        const uint8_t* names_body = nullptr;
        size_t names_length = 0;
        if (!mb_tls_der_next(&names, body + body_length, &tag, &names_body, &names_length) ||
            tag != 0x30) {
            return 0;
        }
        for (const uint8_t *name = names_body, *names_end = names_body + names_length;
             name < names_end;) {
            const uint8_t* value = nullptr;
            size_t value_length = 0;
            if (!mb_tls_der_next(&name, names_end, &tag, &value, &value_length)) return 0;
            if (tag == 0x87 && value_length == address_length &&
                memcmp(value, address, address_length) == 0) {
                return 1;
            }
        }
        return 0;  // one subjectAltName extension per certificate
    }
    return 0;
}

int32_t gs32_tls_setup(const TlsSettings& settings) {
    TlsWorld& tls = g_tls;
    tls.worker_pid = getpid();
    auto given = [](const char* text) { return text != nullptr && text[0] != '\0'; };
    gu32_copy_bounded(tls.server_name, settings.server_name != nullptr ? settings.server_name : "",
                      sizeof tls.server_name);
    tls.address_length = inet_pton(AF_INET, tls.server_name, tls.address) == 1    ? 4
                         : inet_pton(AF_INET6, tls.server_name, tls.address) == 1 ? 16
                                                                                  : 0;
    mbedtls_x509_crt_init(&tls.authorities);
    mbedtls_x509_crt_init(&tls.own_cert);
    mbedtls_pk_init(&tls.own_key);
    mbedtls_entropy_init(&tls.entropy);
    mbedtls_ctr_drbg_init(&tls.random);
    mbedtls_ssl_config_init(&tls.config);

    tls.pinned = given(settings.pin_sha256);
    if (tls.pinned && gs32_tls_parse_pin(settings.pin_sha256, tls.pin) != 0) {
        mv_tls_log("gs32_tls_setup", "pin %s is not 64 hexadecimal digits",
                   LogSafe(settings.pin_sha256).text);
        return -1;
    }
    if (given(settings.client_cert) != given(settings.client_key)) {
        mv_tls_log("gs32_tls_setup", "client certificate and key go together: give both or neither");
        return -1;
    }
    tls.has_own = given(settings.client_cert);
    if (ms32_tls_load_certificates(&tls.authorities, settings.ca_file, "CA file") != 0) return -1;
    if (tls.has_own) {
        if (ms32_tls_load_certificates(&tls.own_cert, settings.client_cert, "client certificate") !=
                0 ||
            ms32_tls_load_key(settings.client_key) != 0) {
            return -1;
        }
        if (mbedtls_pk_check_pair(&tls.own_cert.pk, &tls.own_key) != 0) {
            mv_tls_log("gs32_tls_setup", "client key %s does not belong to the client certificate",
                       LogSafe(settings.client_key).text);
            return -1;
        }
    }
    tls.session_fd = memfd_create("korvad-tls-session", MFD_CLOEXEC);
    const char* step = tls.session_fd < 0 ? "session file" : nullptr;
    if (step == nullptr &&
        mbedtls_ctr_drbg_seed(&tls.random, mbedtls_entropy_func, &tls.entropy, nullptr, 0) != 0) {
        step = "random generator";
    }
    mbedtls_ssl_config* config = &tls.config;
    if (step == nullptr && mbedtls_ssl_config_defaults(config, MBEDTLS_SSL_IS_CLIENT,
                                                       MBEDTLS_SSL_TRANSPORT_STREAM,
                                                       MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        step = "configuration";
    }
    if (step == nullptr && tls.has_own &&
        mbedtls_ssl_conf_own_cert(config, &tls.own_cert, &tls.own_key) != 0) {
        step = "client certificate";
    }
    if (step != nullptr) {
        mv_tls_log("gs32_tls_setup", "%s can't be set up", step);
        return -1;
    }
    // TLS 1.2 or later, the server always verified, never a renegotiation.
    mbedtls_ssl_conf_min_version(config, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_authmode(config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(config, &tls.authorities, nullptr);
    mbedtls_ssl_conf_verify(config, mi_tls_verify, nullptr);
    mbedtls_ssl_conf_rng(config, mbedtls_ctr_drbg_random, &tls.random);
    tls.ready = true;
    gv_http_set_stream_layer(&kTlsLayer);
    return 0;
}
