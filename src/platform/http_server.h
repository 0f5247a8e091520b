// A small HTTP server for disc-catalog serve: it hands each request, as
// it came, to one function and sends back what that function answers.
// What the requests mean is the caller's; this only listens, bounds what
// a request may be, and speaks the protocol (GNU libmicrohttpd, loaded
// while the program runs, as library.h loads libraries).
#ifndef DISC_MANIFEST_PLATFORM_HTTP_SERVER_H_
#define DISC_MANIFEST_PLATFORM_HTTP_SERVER_H_

#include <stddef.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

/// A request as it came: its method and its target, still %-encoded.
struct HttpRequest {
  std::string method;
  std::string target;       // the path and the query, as sent
  size_t header_bytes = 0;  // of the header fields' names and values
};

/// What is sent back. Its body is left out for HEAD.
struct HttpReply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

using HttpHandler = std::function<HttpReply(const HttpRequest& request)>;

/// Whether this build can serve at all (libmicrohttpd's header was found
/// where it was built); false with |*why| said where it cannot.
bool http_server_built(std::string* why);

/// Listens on |address| (an IPv4 address, or an IPv6 one in brackets) at
/// |port| and answers every request with |handler|, called on the
/// connection's own thread (up to |connections| at once), until SIGINT or
/// SIGTERM; then stops listening, lets the answers under way end, and
/// returns true. |ready| is called once the server listens, with its port
/// (the one the system chose when |port| is 0). False with
/// |*problem| said when it cannot listen or its library cannot be loaded.
bool serve_http(const std::string& address, unsigned port, unsigned connections, const HttpHandler& handler,
                const std::function<void(unsigned port)>& ready, std::string* problem);

#endif  // DISC_MANIFEST_PLATFORM_HTTP_SERVER_H_
