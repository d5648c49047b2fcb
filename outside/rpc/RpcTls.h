// The TLS of the remote (TCP) endpoints: mutual TLS 1.2 or later, both sides presenting a
// certificate signed by the configured CA, optionally limited to certificate names.
//
// Settings come from the product key's "Remote" subkey of the registry file ("ListenAddress",
// "Port", "Certificate", "PrivateKey", "CAFile", "AllowedNames" separated by ";"), unless a
// program sets them itself (the daemon's options, tests). A TCP endpoint is served and reached
// only when certificate, key and CA file are all given; plain TCP is never spoken.
// A channel runs the handshake on a connected descriptor within a deadline (the descriptor is
// non-blocking meanwhile), then reads and writes like recv and send on the blocking descriptor,
// so the send and receive time limits set on it bound each call.
// Thread rule: settings and the handshake deadline may be read and set from any thread (guarded
// inside); a context is shared read-only by the channels of many threads; a channel belongs to
// one thread at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "outside/ipc/CComponentID.h"

struct ssl_st;  // OpenSSL's session

namespace RPC {

struct CTlsSettings {
    std::string listenAddress;  // the address a TCP endpoint binds (default: every address)
    unsigned short port = 0;    // "ID_ZOLT_REMOTE_CFG"'s port on every computer; 0: the default
    std::string certFile, keyFile, caFile;
    std::vector<std::string> allowedNames;  // CN or DNS names; empty: any name the CA signed

    bool Configured() const { return !certFile.empty() && !keyFile.empty() && !caFile.empty(); }
};

// The product key's "Remote" subkey of this machine's registry file.
CTlsSettings TlsSettingsFromRegistry();
// The settings in force for serving (`server` true) or for reaching a remote endpoint: those
// set by SetTlsSettings for that side, else the registry's.
CTlsSettings TlsSettings(bool server);
// Sets (or, with nullopt, clears) the settings of one side for this process.
void SetTlsSettings(bool server, const std::optional<CTlsSettings>& settings);

// The time a whole handshake may take (10 s unless changed).
std::chrono::milliseconds HandshakeTimeout();
void SetHandshakeTimeout(std::chrono::milliseconds timeout);

// The TCP port of `component` on a computer with `settings`: the settings' port for the remote
// service when given, else TcpPort(component).
unsigned short NetworkPort(const CComponentID& component, const CTlsSettings& settings);

// The peer of a connected socket as "address:port" ("unknown peer" when it cannot be told).
std::string PeerAddress(int fd);

// Certificate, key and CA loaded and checked once, for many channels.
class CTlsContext {
  public:
    // Throws CRPCException(BAD_PARAMETER) when the settings are incomplete or a file cannot be
    // loaded, or the key does not belong to the certificate.
    CTlsContext(const CTlsSettings& settings, bool server);
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    struct Impl;
    Impl& GetImpl() const { return *m_impl; }

  private:
    std::unique_ptr<Impl> m_impl;
};

// One TLS session on a connected stream descriptor (not owned).
class CTlsChannel {
  public:
    CTlsChannel(const CTlsContext& context, int fd);
    ~CTlsChannel();
    CTlsChannel(const CTlsChannel&) = delete;
    CTlsChannel& operator=(const CTlsChannel&) = delete;

    // Runs the handshake within `timeout`, then checks the peer's certificate name against the
    // allowed names. Throws CRPCException(TLS_REFUSED) with the reason (the peer sent no
    // certificate, one the CA did not sign, an expired one, a name not allowed, no TLS at all),
    // or (TIMEOUT) when the deadline passes.
    void Handshake(std::chrono::milliseconds timeout);
    // The peer certificate's common name ("" before the handshake).
    const std::string& PeerName() const { return m_peerName; }
    // True when Handshake refused the peer for its certificate name alone: the channel works,
    // and can still carry a reply that says why.
    bool NameRefused() const { return m_nameRefused; }

    // Like recv and send on a blocking descriptor: bytes moved, 0 when the peer closed, -1 with
    // errno set (EAGAIN when the descriptor's time limit passed, ECONNRESET for a TLS failure).
    ssize_t Recv(void* data, size_t size);
    ssize_t Send(const void* data, size_t size);
    // True when decrypted bytes wait in the session (a poll of the descriptor would miss them).
    bool Pending() const;

  private:
    ::ssl_st* m_ssl = nullptr;
    int m_fd;
    std::vector<std::string> m_allowed;
    std::string m_peerName;
    bool m_nameRefused = false;
};

}  // namespace RPC
