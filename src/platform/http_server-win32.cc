#include "platform/http_server.h"

// The Windows programs are built without a server: libmicrohttpd is not
// there for mingw-w64 in Debian.
bool http_server_built(std::string* why) {
  *why = "serve is not built into the Windows program (Debian has no libmicrohttpd for mingw-w64)";
  return false;
}

bool serve_http(const std::string&, unsigned, unsigned, const HttpHandler&, const std::function<void(unsigned)>&,
                std::string* problem) {
  *problem = "serving is not built into the Windows program";
  return false;
}
