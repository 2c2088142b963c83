/*
 * mbedTLS configuration of the device: what korvad's TLS layer uses and nothing more.
 * A TLS 1.2 client with ephemeral elliptic-curve key exchange, AES-GCM and
 * ChaCha20-Poly1305, servers and devices with ECDSA or RSA certificates, session tickets.
 * No server side, no TLS below 1.2, no CBC or RC4 suites, no renegotiation, no error texts.
 * scripts/ppc-mbedtls.sh installs it as mbedtls/config.h beside the libraries it built, so
 * that everything compiled against them sees the same records.
 */
#ifndef KORVAD_MBEDTLS_CONFIG_H
#define KORVAD_MBEDTLS_CONFIG_H

/* The platform: Linux with a clock, randomness from the kernel. */
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
#define MBEDTLS_FS_IO

/* Key exchange and the curves for it and for ECDSA certificates. */
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_DP_CURVE25519_ENABLED
#define MBEDTLS_ECP_NIST_OPTIM
#define MBEDTLS_PKCS1_V15

/* The protocol. */
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_SSL_CLI_C
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_SSL_SERVER_NAME_INDICATION
#define MBEDTLS_SSL_SESSION_TICKETS
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET
/* The server's certificate stays with a stored session: the key pin is checked on every
   resumed connection too. */
#define MBEDTLS_SSL_KEEP_PEER_CERTIFICATE
#define MBEDTLS_SSL_CIPHERSUITES                            \
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,        \
        MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,      \
        MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,    \
        MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,      \
        MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256, \
        MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256
/* A server may send records of the full 16 KiB; the device writes its requests and result
   parts in records of 4 KiB (its own certificate chain must fit one). */
#define MBEDTLS_SSL_IN_CONTENT_LEN 16384
#define MBEDTLS_SSL_OUT_CONTENT_LEN 4096

/* Certificates and keys. */
#define MBEDTLS_X509_USE_C
#define MBEDTLS_X509_CRT_PARSE_C
#define MBEDTLS_X509_CHECK_KEY_USAGE
#define MBEDTLS_X509_CHECK_EXTENDED_KEY_USAGE
#define MBEDTLS_PEM_PARSE_C
#define MBEDTLS_BASE64_C
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_OID_C
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C
#define MBEDTLS_RSA_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECP_C
#define MBEDTLS_BIGNUM_C

/* Ciphers, hashes and the random generator. The AES tables are constant data (shared,
   read-only) rather than built at start in every process, and the smaller set. */
#define MBEDTLS_CIPHER_C
#define MBEDTLS_AES_C
#define MBEDTLS_AES_ROM_TABLES
#define MBEDTLS_AES_FEWER_TABLES
#define MBEDTLS_GCM_C
#define MBEDTLS_CHACHA20_C
#define MBEDTLS_POLY1305_C
#define MBEDTLS_CHACHAPOLY_C
#define MBEDTLS_MD_C
#define MBEDTLS_SHA256_C
#define MBEDTLS_SHA512_C
#define MBEDTLS_ENTROPY_C
#define MBEDTLS_CTR_DRBG_C

#include "mbedtls/check_config.h"

#endif /* KORVAD_MBEDTLS_CONFIG_H */
