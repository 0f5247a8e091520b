// disc-catalog serve: the catalog read through a web page, for those who
// will not open a console (web.h answers each request).

#include <string>

#include "catalog/commands.h"
#include "catalog/web.h"
#include "console/command_line.h"
#include "console/console.h"
#include "platform/http_server.h"

namespace {

// ADDRESS:PORT of --listen: an IPv4 address, or an IPv6 one in brackets.
void parse_listen(const std::string& text, std::string* address, unsigned* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    usage_error("'" + text + "' is not ADDRESS:PORT");
  *address = text.substr(0, colon);
  if (address->find(':') != std::string::npos && address->front() != '[')
    usage_error("an IPv6 address is given in brackets: [" + *address + "]:PORT");
  *port = static_cast<unsigned>(number_argument(text.c_str() + colon + 1, 0, 65535, "port"));
}

}  // namespace

int run_serve(const CatalogOptions& options) {
  if (!options.operands.empty()) usage_error("extra operand '" + options.operands[0] + "'");
  std::string address = "127.0.0.1";
  unsigned port = kDefaultServePort;
  if (!options.listen.empty()) parse_listen(options.listen, &address, &port);
  std::string why;
  if (!http_server_built(&why)) {
    problem("%s", why.c_str());
    return 2;
  }
  // A catalog that cannot be read is said now, not at the first request;
  // its names are read before the first search.
  if (!prepare_web_answers(options.catalog, &why)) {
    problem("%s: %s", options.catalog_name.c_str(), why.c_str());
    return 2;
  }
  const bool served = serve_http(
      address, port, 64, [&](const HttpRequest& request) { return answer_web_request(options.catalog, request); },
      [&](unsigned bound) {
        problem("serving %s at http://%s:%u/", options.catalog_name.c_str(), address.c_str(), bound);
      },
      &why);
  if (!served) {
    problem("%s", why.c_str());
    return 2;
  }
  return 0;
}
