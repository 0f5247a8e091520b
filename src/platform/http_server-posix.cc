#include "platform/http_server.h"

#ifdef DISC_CATALOG_HAVE_HTTP

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>

#include "platform/library.h"

namespace {

// libmicrohttpd, loaded when the server starts (library.h): each function
// called, by its own name.
#define MHD_FUNCTIONS(X) X(MHD_start_daemon) X(MHD_stop_daemon) X(MHD_create_response_from_buffer) \
  X(MHD_add_response_header) X(MHD_queue_response) X(MHD_destroy_response) X(MHD_get_connection_values) \
  X(MHD_get_daemon_info)

struct Mhd {
#define MHD_POINTER(name) decltype(&::name) name = nullptr;
  MHD_FUNCTIONS(MHD_POINTER)
#undef MHD_POINTER
};
Mhd mhd;

bool load_mhd(std::string* problem) {
  std::string why;
  void* library = load_library("libmicrohttpd.so.12", &why);
  if (library == nullptr) {
    *problem = "GNU libmicrohttpd cannot be loaded (Debian: libmicrohttpd12): " + why;
    return false;
  }
#define MHD_FIND(name) FIND_LIBRARY_FUNCTION(mhd, library, name, "GNU libmicrohttpd", problem)
  MHD_FUNCTIONS(MHD_FIND)
#undef MHD_FIND
  return true;
}

// What a request holds from its first line on: its target as sent, kept
// by the callback that sees it before the library decodes it.
struct Pending {
  std::string target;
};

void* keep_target(void*, const char* uri, struct MHD_Connection*) {
  Pending* pending = new Pending;
  pending->target = uri != nullptr ? uri : "";
  return pending;
}

void forget_target(void*, struct MHD_Connection*, void** context, enum MHD_RequestTerminationCode) {
  delete static_cast<Pending*>(*context);
  *context = nullptr;
}

// The library decodes the path and the query in place, for its own use;
// the handler decodes the target it was sent, so this one leaves them as
// they are.
size_t keep_escapes(void*, struct MHD_Connection*, char* text) { return strlen(text); }

enum MHD_Result count_header(void* counted, enum MHD_ValueKind, const char* key, const char* value) {
  *static_cast<size_t*>(counted) += strlen(key) + (value != nullptr ? strlen(value) : 0);
  return MHD_YES;
}

enum MHD_Result answer(void* cls, struct MHD_Connection* connection, const char*, const char* method, const char*,
                       const char*, size_t*, void** context) {
  const HttpHandler& handler = *static_cast<const HttpHandler*>(cls);
  HttpRequest request;
  request.method = method;
  if (*context != nullptr) request.target = static_cast<Pending*>(*context)->target;
  mhd.MHD_get_connection_values(connection, MHD_HEADER_KIND, count_header, &request.header_bytes);
  HttpReply reply;
  try {
    reply = handler(request);
  } catch (const std::exception&) {
    reply = HttpReply{500, {{"Content-Type", "text/plain; charset=utf-8"}}, "the server failed\n"};
  }
  // Answered before any body is read: a request with one has its
  // connection closed after the answer.
  struct MHD_Response* response = mhd.MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  for (const auto& header : reply.headers)
    mhd.MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
  const enum MHD_Result queued = mhd.MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  mhd.MHD_destroy_response(response);
  return queued;
}

}  // namespace

bool http_server_built(std::string*) { return true; }

bool serve_http(const std::string& address, unsigned port, unsigned connections, const HttpHandler& handler,
                const std::function<void(unsigned port)>& ready, std::string* problem) {
  if (!load_mhd(problem)) return false;
  sockaddr_in v4 = {};
  sockaddr_in6 v6 = {};
  const sockaddr* where = nullptr;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION;
  if (address.size() > 2 && address.front() == '[' && address.back() == ']' &&
      inet_pton(AF_INET6, address.substr(1, address.size() - 2).c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    where = reinterpret_cast<const sockaddr*>(&v6);
    flags |= MHD_USE_IPv6;
  } else if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    where = reinterpret_cast<const sockaddr*>(&v4);
  } else {
    *problem = "'" + address + "' is no IP address";
    return false;
  }
  // SIGINT and SIGTERM wait for this thread, blocked in it before the
  // library starts the threads that inherit its mask.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &ending, &before);
  // The request line and header fields live in the connection's memory:
  // its limit bounds them (a request beyond it is refused by the library).
  struct MHD_Daemon* daemon = mhd.MHD_start_daemon(
      flags, static_cast<uint16_t>(port), nullptr, nullptr, answer, const_cast<HttpHandler*>(&handler),
      MHD_OPTION_SOCK_ADDR, where, MHD_OPTION_CONNECTION_LIMIT, connections,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(32 * 1024), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(30), MHD_OPTION_URI_LOG_CALLBACK, keep_target, nullptr, MHD_OPTION_NOTIFY_COMPLETED,
      forget_target, nullptr, MHD_OPTION_UNESCAPE_CALLBACK, keep_escapes, nullptr, MHD_OPTION_END);
  if (daemon == nullptr) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    *problem = "cannot listen on " + address + ":" + std::to_string(port) +
               " (in use, or not an address of this machine)";
    return false;
  }
  // Port 0 asks the system for a free one.
  const union MHD_DaemonInfo* bound = mhd.MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
  ready(bound != nullptr && bound->port != 0 ? bound->port : port);
  int signal_number = 0;
  sigwait(&ending, &signal_number);
  mhd.MHD_stop_daemon(daemon);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return true;
}

#else  // !DISC_CATALOG_HAVE_HTTP

bool http_server_built(std::string* why) {
  *why = "serve is not built into this program (its build found no libmicrohttpd-dev)";
  return false;
}

bool serve_http(const std::string&, unsigned, unsigned, const HttpHandler&, const std::function<void(unsigned)>&,
                std::string* problem) {
  *problem = "serving is not built in (its build found no libmicrohttpd-dev)";
  return false;
}

#endif
