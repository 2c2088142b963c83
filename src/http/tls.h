// HTTPS for the HTTP client: TLS with mbedTLS under the client's stream layer, with the
// server verified against the connection's authorities (and optionally its key pin), an
// optional device certificate, and the session resumed across the transfers of a worker.
// All TLS code of the daemon is here; another library could replace this one file.
#pragma once

#include <cstddef>
#include <cstdint>

// What a connection file asks for; null or empty texts are "none". server_name is required.
struct TlsSettings {
    const char* ca_file;      // PEM authorities that the server's chain must lead to
    const char* server_name;  // a DNS name (also sent as server name) or an IP address
    const char* client_cert;  // the device's PEM certificate and key, both or neither
    const char* client_key;
    const char* pin_sha256;   // 64 hex digits: SHA-256 of the server's SubjectPublicKeyInfo
};

// In the worker, before its first transfer: checks and loads the files and puts the TLS
// layer under the HTTP client of this process, which its transfer processes inherit with
// the loaded authorities and keys. 0, or -1 after one log line that names what was refused.
int32_t gs32_tls_setup(const TlsSettings& settings);

// The two things the module reads itself; the PEM and X.509 parsing is the library's.
// 64 hexadecimal digits (either case) into 32 bytes: 0, or -1.
constexpr size_t kTlsPinSize = 32;
int32_t gs32_tls_parse_pin(const char* text, uint8_t* pin_out);
// Whether the DER Extensions sequence of a certificate holds a subject alternative name of
// type iPAddress equal to address (4 or 16 bytes): 1, or 0 (also for broken bytes).
int32_t gs32_tls_san_has_ip(const uint8_t* extensions, size_t length, const uint8_t* address,
                            size_t address_length);
