// disc-catalog serve, run as a program and asked over real sockets: its
// URL and its end, what no request can reach or change, answers while
// discs are added, and its page in a real browser (web_browser_test.py).
// The cases of a catalog on a server run where DISC_CATALOG_TEST_SERVER
// names one.

#include <arpa/inet.h>
#include <ctype.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"
#include "temp_tree.h"
#if defined(DISC_CATALOG_HAVE_POSTGRES)
#include "pg_server.h"
#endif

namespace {

// A running `disc-catalog serve` on a port the system chose.
struct Server {
  pid_t pid = -1;
  int port = 0;
  int err = -1;     // its standard error
  std::string said;  // what it wrote there so far
};

// Starts serve over |catalog|; its port, once it says its URL.
void start_server(const std::string& catalog, Server* server) {
  *server = Server();
  int pipe_ends[2];
  ASSERT_EQ(0, pipe(pipe_ends));
  server->pid = fork();
  ASSERT_LE(0, server->pid);
  if (server->pid == 0) {
    dup2(pipe_ends[1], 2);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    execl(DISC_CATALOG_EXE, DISC_CATALOG_EXE, "--catalog", catalog.c_str(), "serve", "--listen", "127.0.0.1:0",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe_ends[1]);
  server->err = pipe_ends[0];
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const std::string mark = "at http://127.0.0.1:";
  while (server->said.find('\n', server->said.find(mark)) == std::string::npos ||
         server->said.find(mark) == std::string::npos) {
    pollfd wanted = {server->err, POLLIN, 0};
    ASSERT_LT(std::chrono::steady_clock::now(), end) << "no URL said: " << server->said;
    if (poll(&wanted, 1, 1000) <= 0) continue;
    char bytes[512];
    const ssize_t got = read(server->err, bytes, sizeof bytes);
    ASSERT_GT(got, 0) << "serve ended: " << server->said;
    server->said.append(bytes, static_cast<size_t>(got));
  }
  server->port = atoi(server->said.c_str() + server->said.find(mark) + mark.size());
  ASSERT_GT(server->port, 0) << server->said;
}

// What the server wrote on standard error so far.
std::string said_so_far(Server* server) {
  pollfd wanted = {server->err, POLLIN, 0};
  char bytes[512];
  while (poll(&wanted, 1, 0) > 0) {
    const ssize_t got = read(server->err, bytes, sizeof bytes);
    if (got <= 0) break;
    server->said.append(bytes, static_cast<size_t>(got));
  }
  return server->said;
}

// Sends |signal_number| and gives the exit status (128 + the signal where
// it ended by one; -1 where it had to be killed).
int stop_server(Server* server, int signal_number = SIGTERM) {
  if (server->pid <= 0) return -1;
  kill(server->pid, signal_number);
  int status = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (waitpid(server->pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      kill(server->pid, SIGKILL);
      waitpid(server->pid, &status, 0);
      server->pid = -1;
      return -1;
    }
    usleep(10000);
  }
  server->pid = -1;
  close(server->err);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Answer {
  int status = 0;
  std::string head;
  std::string body;
};

// Sends |request| as it is, and reads the answer to the connection's end.
Answer send_request(int port, const std::string& request) {
  Answer answer;
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in where = {};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    close(s);
    return answer;
  }
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may answer and close before all is sent
    sent += static_cast<size_t>(n);
  }
  std::string got;
  for (;;) {
    pollfd wanted = {s, POLLIN, 0};
    if (poll(&wanted, 1, 30000) <= 0) break;
    char bytes[65536];
    const ssize_t n = recv(s, bytes, sizeof bytes, 0);
    if (n <= 0) break;
    got.append(bytes, static_cast<size_t>(n));
  }
  close(s);
  const size_t blank = got.find("\r\n\r\n");
  if (got.compare(0, 9, "HTTP/1.1 ") != 0 || blank == std::string::npos) return answer;
  answer.status = atoi(got.c_str() + 9);
  answer.head = got.substr(0, blank + 2);
  answer.body = got.substr(blank + 4);
  return answer;
}

Answer get(int port, const std::string& target, const std::string& method = "GET") {
  return send_request(port, method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

// A manifest as disc-manifest writes one: CR LF lines.
std::string manifest(const std::string& description, const std::vector<std::string>& records) {
  std::string text = "<root>\r\n<key_disc name=\"" + description + "\">\r\n";
  for (const std::string& record : records) text += "<key_file " + record + " />\r\n";
  return text + "</key_disc>\r\n</root>\r\n";
}

std::string record(const std::string& pathname, int length, const std::string& md5) {
  return "pathname=\"" + pathname + "\" length=\"" + std::to_string(length) + "\" md5=\"" + md5 + "\"";
}

const char kHello[] = "5d41402abc4b2a76b9719d911017c592";  // "hello"
const char kAbc[] = "900150983cd24fb0d6963f7d28e17f72";    // "abc"
const char kEmpty[] = "d41d8cd98f00b204e9800998ecf8427e";

enum class Store { kFile, kServer };

// Three discs: 1 and 3 hold something of their own, 2 nothing; names and
// a description hold markup.
class WebServeTest : public testing::TestWithParam<Store> {
 protected:
  void SetUp() override {
    if (GetParam() == Store::kServer) {
#if defined(DISC_CATALOG_HAVE_POSTGRES)
      if (server_uri().empty()) GTEST_SKIP() << no_server_reason();
      schema_ = fresh_schema();
      catalog_ = in_schema(server_uri(), schema_);
#else
      GTEST_SKIP() << "built without libpq: disc-catalog speaks to no server";
#endif
    } else {
      catalog_ = tmp_.path + "/catalog.db";
    }
    write_file(tmp_.path + "/disc1.xml",
               manifest("Reports <img src=x onerror=window.pwned=1>",
                        {record("Reports\\<script>window.pwned=2</script>REPORT.doc", 3, kAbc),
                         record("Reports\\own.bin", 2000, "ffeeddccbbaa99887766554433221100"),
                         record("Reports\\deep\\inner.txt", 0, kEmpty)}));
    write_file(tmp_.path + "/disc2.xml", manifest("Copies", {record("copy\\report.doc", 3, kAbc),
                                                             record("greetings\\hello.txt", 5, kHello)}));
    write_file(tmp_.path + "/disc3.xml",
               manifest("Third", {record("x\\annual-REPORT-1998.pdf", 1000, "00112233445566778899aabbccddeeff"),
                                  record("y\\hello-again.txt", 5, kHello)}));
    write_file(tmp_.path + "/hello.txt", "hello");
    const Outcome added = catalog({"add", tmp_.path + "/disc1.xml", tmp_.path + "/disc2.xml", tmp_.path + "/disc3.xml"});
    ASSERT_EQ(0, added.status) << added.err;
  }

  void TearDown() override {
    if (server_.pid > 0) stop_server(&server_);
#if defined(DISC_CATALOG_HAVE_POSTGRES)
    if (schema_.empty()) return;
    Sql sql(server_uri());
    sql("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
#endif
  }

  Outcome catalog(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {DISC_CATALOG_EXE, "--catalog", catalog_});
    Conditions setup;
    setup.time_limit = 120;
    return run_program(arguments, "", setup);
  }

  TempDir tmp_;
  std::string schema_;
  std::string catalog_;
  Server server_;
};

INSTANTIATE_TEST_SUITE_P(Stores, WebServeTest, testing::Values(Store::kFile, Store::kServer),
                         [](const testing::TestParamInfo<Store>& param) {
                           return param.param == Store::kFile ? "File" : "Server";
                         });

TEST_P(WebServeTest, SaysItsUrlAndEndsCleanlyOnSigtermOrSigint) {
  for (const int signal_number : {SIGTERM, SIGINT}) {
    ASSERT_NO_FATAL_FAILURE(start_server(catalog_, &server_));
    EXPECT_NE(std::string::npos, server_.said.find("disc-catalog: serving ")) << server_.said;
    EXPECT_EQ(200, get(server_.port, "/").status);
    EXPECT_EQ(0, stop_server(&server_, signal_number)) << signal_number;
  }
}

TEST_P(WebServeTest, ServesNothingOfTheMachineAndChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(start_server(catalog_, &server_));
  const std::string listed = catalog({"list"}).out;
  for (const char* target : {"/../../../../etc/passwd", "/assets/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd",
                             "/assets/%2e%2e%2f%2e%2e%2fetc%2fpasswd", "/..%5c..%5cetc%5cpasswd", "//etc/passwd",
                             "/etc/passwd", "/assets/app.js/../../../etc/passwd", "/proc/self/environ"}) {
    const Answer answer = get(server_.port, target);
    EXPECT_EQ(404, answer.status) << target;
    EXPECT_EQ(std::string::npos, answer.body.find("root:")) << target;
  }
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH"}) {
    const std::string body = "disc=1";
    const Answer answer = send_request(server_.port, std::string(method) + " /api/discs/1 HTTP/1.1\r\nHost: x\r\n"
                                   "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 6\r\n"
                                   "Connection: close\r\n\r\n" + body);
    EXPECT_EQ(405, answer.status) << method;
    EXPECT_NE(std::string::npos, answer.head.find("Allow: GET, HEAD")) << answer.head;
  }
  EXPECT_EQ(listed, catalog({"list"}).out);
  // Bounded: the request line, the header fields.
  EXPECT_EQ(414, get(server_.port, "/api/find?text=" + std::string(3000, 'a')).status);
  EXPECT_EQ(414, get(server_.port, "/" + std::string(20000, 'a')).status);
  EXPECT_EQ(431, send_request(server_.port, "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'b') +
                                            "\r\nConnection: close\r\n\r\n").status);
  EXPECT_EQ(431, send_request(server_.port, "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(100000, 'b') +
                                            "\r\nConnection: close\r\n\r\n").status);
  // HEAD: the headers alone.
  const Answer head = get(server_.port, "/api/discs", "HEAD");
  EXPECT_EQ(200, head.status);
  EXPECT_EQ("", head.body);
  // Still serving after all that.
  EXPECT_EQ(200, get(server_.port, "/api/discs").status);
  EXPECT_EQ(0, stop_server(&server_));
}

TEST_P(WebServeTest, TheManifestDownloadedIsTheOneAdded) {
  ASSERT_NO_FATAL_FAILURE(start_server(catalog_, &server_));
  const Answer answer = get(server_.port, "/api/discs/1/manifest");
  ASSERT_EQ(200, answer.status) << answer.body;
  EXPECT_EQ(read_file(tmp_.path + "/disc1.xml"), answer.body);
  EXPECT_NE(std::string::npos, answer.head.find("Content-Disposition: attachment; filename=\"disc1.xml\""))
      << answer.head;
  EXPECT_EQ(404, get(server_.port, "/api/discs/4/manifest").status);
}

TEST_P(WebServeTest, AnswersWhileDiscsAreAddedAndSeesThem) {
  ASSERT_NO_FATAL_FAILURE(start_server(catalog_, &server_));
  std::atomic<bool> adding(true);
  std::atomic<int> answered(0);
  std::atomic<int> wrong(0);
  std::mutex first_wrong_lock;
  std::string first_wrong;
  std::vector<std::thread> askers;
  for (int i = 0; i < 4; ++i) {
    askers.emplace_back([&, i]() {
      while (adding) {
        const Answer answer = get(server_.port, i % 2 == 0 ? "/api/discs" : "/api/find?text=file");
        if (answer.status == 200) {
          ++answered;
        } else if (++wrong == 1) {
          std::lock_guard<std::mutex> hold(first_wrong_lock);
          first_wrong = std::to_string(answer.status) + " " + answer.body;
        }
      }
    });
  }
  for (int disc = 0; disc < 12; ++disc) {
    std::vector<std::string> records;
    for (int f = 0; f < 200; ++f)
      records.push_back(record("folder\\file" + std::to_string(disc) + "-" + std::to_string(f) + ".txt", f + 1, kAbc));
    const std::string path = tmp_.path + "/more" + std::to_string(disc) + ".xml";
    write_file(path, manifest("More " + std::to_string(disc), records));
    const Outcome added = catalog({"add", "-q", path});
    EXPECT_EQ(0, added.status) << added.err;
  }
  adding = false;
  for (std::thread& asker : askers) asker.join();
  EXPECT_EQ(0, wrong.load()) << first_wrong << said_so_far(&server_);
  EXPECT_LT(0, answered.load());
  const Answer discs = get(server_.port, "/api/discs");
  EXPECT_NE(std::string::npos, discs.body.find("{\"disc\":15,")) << discs.body;
  const Answer found = get(server_.port, "/api/find?text=FILE11-19");
  EXPECT_NE(std::string::npos, found.body.find("\"count\":11,")) << found.body;  // 19, 190 ... 199
  EXPECT_EQ(0, stop_server(&server_));
}

TEST_P(WebServeTest, TheSearchAnswersAsFindWhateverTheText) {
  // A disc of many files (several parts of the index of names), in
  // folders whose ends and names' starts make texts that span both.
  std::vector<std::string> records;
  for (int f = 0; f < 300; ++f)
    records.push_back(record("Pics 20" + std::to_string(f % 7) + "\\Sub\\IMG_" + std::to_string(f) + (f % 2 ? ".JPG" : ".jpg"),
                             f + 1, kAbc));
  records.push_back(record("\xc3\x89T\xc3\x89\\\xc3\xa9t\xc3\xa9.txt", 1, kHello));
  records.push_back(record("ab", 1, kHello));
  write_file(tmp_.path + "/disc4.xml", manifest("Pictures", records));
  ASSERT_EQ(0, catalog({"add", tmp_.path + "/disc4.xml"}).status);
  ASSERT_NO_FATAL_FAILURE(start_server(catalog_, &server_));
  const auto escaped = [](const std::string& text) {
    std::string out;
    for (const char c : text) {
      const unsigned char byte = static_cast<unsigned char>(c);
      if (isalnum(byte)) {
        out += c;
      } else {
        char hex[4];
        snprintf(hex, sizeof hex, "%%%02X", byte);
        out += hex;
      }
    }
    return out;
  };
  const auto expect_as_find = [&](const std::string& text) {
    const Outcome found = catalog({"find", "--json", "*" + text + "*"});
    ASSERT_EQ(found.out.empty() ? 1 : 0, found.status) << text << found.err;
    std::string matches;
    size_t count = 0;
    for (size_t at = 0; at < found.out.size(); ++count) {
      const size_t end = found.out.find('\n', at);
      matches += (matches.empty() ? "" : ",") + found.out.substr(at, end - at);
      at = end + 1;
    }
    const Answer answer = get(server_.port, "/api/find?text=" + escaped(text) + "&limit=1000");
    EXPECT_EQ(200, answer.status) << text;
    EXPECT_NE(std::string::npos, answer.body.find("\"count\":" + std::to_string(count) + ",")) << text << answer.body;
    EXPECT_NE(std::string::npos, answer.body.find("\"matches\":[" + matches + "]}")) << text << answer.body;
  };
  const char* const texts[] = {"img",     "IMG_1",  "img_1?.jpg", "sub\\img_1", "sub/IMG_29", "\\sub\\", "20",
                               "ab",      "6\\s",   "\xc3\xa9t",  "\xc3\x89T",  "report",     "hello",  "zzzq",
                               "jpg",     ".JPG",   "t\xc3\x89\\"};
  for (const char* text : texts) expect_as_find(text);
  // A disc removed while it serves is found no more.
  ASSERT_EQ(0, catalog({"remove", "2"}).status);
  for (const char* text : {"report", "hello", "rep", "copy\\"}) expect_as_find(text);
  EXPECT_EQ(0, stop_server(&server_));
}

TEST_P(WebServeTest, ThePageInARealBrowser) {
  ASSERT_NO_FATAL_FAILURE(start_server(catalog_, &server_));
  Conditions setup;
  setup.time_limit = 240;
  const Outcome run = run_program({"/usr/bin/python3", std::string(TESTS_DIR) + "/web_browser_test.py",
                                   "http://127.0.0.1:" + std::to_string(server_.port) + "/", tmp_.path},
                                  "", setup);
  if (run.status == 77) GTEST_SKIP() << run.err;
  EXPECT_EQ(0, run.status) << run.out << run.err;
  EXPECT_EQ(0, stop_server(&server_));
}

TEST(WebServeUsageTest, WrongAddressesAndMissingCatalogsEndWithStatus2) {
  TempDir tmp;
  const std::string catalog = tmp.path + "/catalog.db";
  for (const char* listen : {"nonsense", "127.0.0.1", "127.0.0.1:70000", "::1:80", "127.0.0.1:x"}) {
    const Outcome run = run_program({DISC_CATALOG_EXE, "--catalog", catalog, "serve", "--listen", listen}, "");
    EXPECT_EQ(2, run.status) << listen;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
  }
  const Outcome missing = run_program({DISC_CATALOG_EXE, "--catalog", catalog, "serve", "--listen", "127.0.0.1:0"}, "");
  EXPECT_EQ(2, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find(catalog)) << missing.err;
  EXPECT_NE(0, access(catalog.c_str(), F_OK));
}

}  // namespace
