// For tests only (not installed): an https front for a test service, so
// that the client is tested over TLS exactly as over plain http.
//
//   kvc::sdk::RawService service(...);              // or a TestService
//   kvc::sdk::TlsFront front(service.port());
//   kvc::sdk::NlpClient client(front.url(), 1.0, {}, {.ca_file = TlsFront::ca_file()});
//
// The front listens on a loopback port of its own, completes each TLS
// handshake with a certificate for 127.0.0.1 made when the process first
// needs one, and relays the connection's bytes both ways to the service's
// port, ending each direction when the other side ends it (with a TLS
// close_notify towards the client). The service sees a plain connection,
// whatever it does with it.
#pragma once

#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kvc/sdk/test_service.h"

namespace kvc::sdk {

class TlsFront {
 public:
  explicit TlsFront(int service_port) : service_port_(service_port) {
    // A client that goes away mid-write must not end the test process.
    std::signal(SIGPIPE, SIG_IGN);
    const Identity& id = identity();
    context_.reset(SSL_CTX_new(TLS_server_method()));
    if (!context_ || SSL_CTX_use_certificate(context_.get(), id.certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context_.get(), id.key.get()) != 1)
      throw std::runtime_error("tls front: cannot set up TLS");
    listener_ = listen_on_loopback(port_, "tls front");
    acceptor_ = std::thread([this] { accept_all(); });
  }

  ~TlsFront() {
    stopping_ = true;
    acceptor_.join();
    for (auto& relay : relays_) relay.join();
    ::close(listener_);
  }

  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;

  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }

  // The PEM file of the front's certificate, for the client to trust.
  static const std::string& ca_file() { return identity().pem_file; }

 private:
  struct SslContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  };
  struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
  };

  // A key and a self-signed certificate for 127.0.0.1, made once.
  struct Identity {
    std::unique_ptr<EVP_PKEY, KeyFree> key;
    std::unique_ptr<X509, CertificateFree> certificate;
    std::string pem_file;
  };

  static const Identity& identity() {
    static const Identity made = [] {
      Identity id;
      id.key.reset(EVP_EC_gen("P-256"));
      id.certificate.reset(X509_new());
      X509* cert = id.certificate.get();
      bool ok = id.key && cert && X509_set_version(cert, 2) == 1 &&
                ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) == 1 &&
                X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
                X509_gmtime_adj(X509_getm_notAfter(cert), 86400) != nullptr &&
                X509_set_pubkey(cert, id.key.get()) == 1;
      X509_NAME* name = X509_get_subject_name(cert);
      ok = ok &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                                      0) == 1 &&
           X509_set_issuer_name(cert, name) == 1;
      X509V3_CTX v3;
      X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
      for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                                       std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
        ok = ok && extension != nullptr && X509_add_ext(cert, extension, -1) == 1;
        X509_EXTENSION_free(extension);
      }
      ok = ok && X509_sign(cert, id.key.get(), EVP_sha256()) > 0;
      id.pem_file = (std::filesystem::temp_directory_path() /
                     ("kelvra_tls_front_" + std::to_string(::getpid()) + ".pem"))
                        .string();
      std::FILE* out = std::fopen(id.pem_file.c_str(), "w");
      ok = ok && out != nullptr && PEM_write_X509(out, cert) == 1;
      if (out != nullptr) std::fclose(out);
      if (!ok) throw std::runtime_error("tls front: cannot make a certificate");
      return id;
    }();
    return made;
  }

  void accept_all() {
    while (!stopping_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) relays_.emplace_back([this, fd] { relay(fd); });
    }
  }

  // Waits until `fd` has `events` or the front stops; false when it stops.
  bool wait(int fd, short events) const {
    while (!stopping_) {
      pollfd ready{fd, events, 0};
      if (::poll(&ready, 1, 20) > 0) return true;
    }
    return false;
  }

  bool send_plain(int fd, const char* data, std::size_t size) const {
    while (size > 0) {
      if (!wait(fd, POLLOUT)) return false;
      const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  int connect_to_service() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(service_port_));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
      return fd;
    if (fd >= 0) ::close(fd);
    return -1;
  }

  void relay(int client) {
    // Blocking calls on the TLS side give up now and then to see whether
    // the front is stopping.
    const timeval tick{0, 100000};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof tick);
    SSL* ssl = SSL_new(context_.get());
    SSL_set_fd(ssl, client);
    int service = -1;
    int handshake = 0;
    for (int tries = 0; tries < 50 && !stopping_; ++tries) {
      handshake = SSL_accept(ssl);
      const int error = SSL_get_error(ssl, handshake);
      if (handshake == 1 || (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)) break;
    }
    if (handshake == 1) service = connect_to_service();
    char block[16384];
    bool client_open = handshake == 1;
    while (service >= 0 && !stopping_) {
      pollfd fds[2] = {{client_open ? client : -1, POLLIN, 0}, {service, POLLIN, 0}};
      if (SSL_pending(ssl) == 0 && ::poll(fds, 2, 20) <= 0) continue;
      if (client_open && (SSL_pending(ssl) > 0 || fds[0].revents != 0)) {
        const int got = SSL_read(ssl, block, sizeof block);
        const int error = SSL_get_error(ssl, got);
        if (got > 0) {
          if (!send_plain(service, block, static_cast<std::size_t>(got))) break;
        } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
          client_open = false;  // the client has said all it will
          ::shutdown(service, SHUT_WR);
        }
      }
      if (fds[1].revents != 0) {
        const ssize_t got = ::recv(service, block, sizeof block, MSG_DONTWAIT);
        if (got < 0 && errno == EAGAIN) continue;
        if (got <= 0) {
          SSL_shutdown(ssl);  // the service has ended its answer
          break;
        }
        bool sent = false;
        while (!sent && !stopping_) {
          const int put = SSL_write(ssl, block, static_cast<int>(got));
          const int error = SSL_get_error(ssl, put);
          if (put > 0) {
            sent = true;
          } else if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
            break;  // the client has gone
          }
        }
        if (!sent) break;
      }
    }
    if (service >= 0) ::close(service);
    SSL_free(ssl);
    ::close(client);
    ERR_clear_error();
  }

  int service_port_;
  std::unique_ptr<SSL_CTX, SslContextFree> context_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> relays_;  // touched by the acceptor, then by the destructor
  std::thread acceptor_;
};

}  // namespace kvc::sdk
