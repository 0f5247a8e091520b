// The requests serve answers, without a browser or a socket: what a
// request may be, which paths reach anything, and what the API says of a
// real catalog file.

#include "catalog/web.h"

#include <string.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../../tests/temp_tree.h"
#include "catalog/catalog.h"
#include "catalog/pattern.h"
#include "console/json.h"

namespace {

HttpReply get(const std::string& where, const std::string& target, const std::string& method = "GET") {
  HttpRequest request;
  request.method = method;
  request.target = target;
  return answer_web_request(where, request);
}

std::string header(const HttpReply& reply, const std::string& name) {
  for (const auto& one : reply.headers)
    if (one.first == name) return one.second;
  return "";
}

TEST(WebTargetTest, DecodesEscapesInThePathAndPlusesInTheQueryAlone) {
  std::string path;
  std::vector<std::pair<std::string, std::string>> query;
  ASSERT_TRUE(decode_target("/a%20b+c?text=x+y%2Bz&&flag&from=%41", &path, &query));
  EXPECT_EQ("/a b+c", path);
  ASSERT_EQ(3u, query.size());
  EXPECT_EQ((std::pair<std::string, std::string>("text", "x y+z")), query[0]);
  EXPECT_EQ((std::pair<std::string, std::string>("flag", "")), query[1]);
  EXPECT_EQ((std::pair<std::string, std::string>("from", "A")), query[2]);
  // Broken escapes and targets that are no path.
  EXPECT_FALSE(decode_target("/a%2", &path, &query));
  EXPECT_FALSE(decode_target("/a%zz", &path, &query));
  EXPECT_FALSE(decode_target("/?text=%g0", &path, &query));
  EXPECT_FALSE(decode_target("http://elsewhere/", &path, &query));
  EXPECT_FALSE(decode_target("", &path, &query));
}

TEST(WebTargetTest, ClimbingIsAnyDotDotSegmentBackslashOrNul) {
  EXPECT_TRUE(path_climbs("/.."));
  EXPECT_TRUE(path_climbs("/assets/../../etc/passwd"));
  EXPECT_TRUE(path_climbs("/assets/.."));
  EXPECT_TRUE(path_climbs("/assets\\app.js"));
  EXPECT_TRUE(path_climbs(std::string("/assets/app.js\0.png", 19)));
  EXPECT_FALSE(path_climbs("/assets/app..js"));
  EXPECT_FALSE(path_climbs("/.../x"));
  EXPECT_FALSE(path_climbs("/"));
}

TEST(WebTargetTest, TimesOfAddingAreUtcCalendarDates) {
  EXPECT_EQ("1970-01-01 00:00:00", added_text(0));
  EXPECT_EQ("1969-12-31 23:59:59", added_text(-1));
  EXPECT_EQ("2000-02-29 12:00:00", added_text(951825600));
  EXPECT_EQ("2023-11-14 22:13:20", added_text(1700000000));
  EXPECT_EQ("2100-03-01 00:00:00", added_text(4107542400));
}

// None of these needs the catalog: it is never opened.
TEST(WebRequestTest, OnlyGetAndHeadAreServed) {
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE", "get"}) {
    const HttpReply reply = get("/nonexistent/catalog.db", "/api/discs", method);
    EXPECT_EQ(405, reply.status) << method;
    EXPECT_EQ("GET, HEAD", header(reply, "Allow")) << method;
  }
  EXPECT_EQ(200, get("/nonexistent/catalog.db", "/", "HEAD").status);
}

TEST(WebRequestTest, RequestsBeyondTheBoundsAreRefused) {
  const std::string where = "/nonexistent/catalog.db";
  EXPECT_EQ(414, get(where, "/" + std::string(kMaxTarget, 'a')).status);
  EXPECT_EQ(404, get(where, "/" + std::string(kMaxTarget - 1, 'a')).status);
  EXPECT_EQ(414, get(where, "/api/find?text=" + std::string(kMaxQuery, 'a')).status);
  HttpRequest request;
  request.method = "GET";
  request.target = "/";
  request.header_bytes = kMaxHeaderBytes + 1;
  EXPECT_EQ(431, answer_web_request(where, request).status);
  request.header_bytes = kMaxHeaderBytes;
  EXPECT_EQ(200, answer_web_request(where, request).status);
}

TEST(WebRequestTest, NothingButTheProgramsOwnFilesIsServed) {
  const std::string where = "/nonexistent/catalog.db";
  for (const char* target : {"/../etc/passwd", "/%2e%2e/etc/passwd", "/assets/..%2f..%2fetc%2fpasswd",
                             "/assets/%2E%2E/app.js", "/assets\\app.js", "/assets/app.js%00.png", "/etc/passwd",
                             "/assets/", "/index.html/", "/assets/app.js/.."}) {
    EXPECT_EQ(404, get(where, target).status) << target;
  }
  EXPECT_EQ(400, get(where, "/assets/%zzapp.js").status);
  const HttpReply page = get(where, "/");
  EXPECT_EQ(200, page.status);
  EXPECT_EQ("text/html; charset=utf-8", header(page, "Content-Type"));
  EXPECT_NE(std::string::npos, page.body.find("type=\"search\""));
  EXPECT_EQ("text/javascript; charset=utf-8", header(get(where, "/assets/app.js"), "Content-Type"));
  EXPECT_EQ("text/css; charset=utf-8", header(get(where, "/assets/app.css"), "Content-Type"));
}

TEST(WebRequestTest, EveryAnswerForbidsInlineScriptAndSniffing) {
  const std::string where = "/nonexistent/catalog.db";
  for (const char* target : {"/", "/assets/app.js", "/nowhere", "/api/discs", "/../x"}) {
    const HttpReply reply = get(where, target);
    const std::string policy = header(reply, "Content-Security-Policy");
    EXPECT_NE(std::string::npos, policy.find("script-src 'self'")) << target;
    EXPECT_NE(std::string::npos, policy.find("default-src 'none'")) << target;
    EXPECT_EQ(std::string::npos, policy.find("unsafe")) << target;
    EXPECT_EQ("nosniff", header(reply, "X-Content-Type-Options")) << target;
  }
  // The page itself holds no script or style of its own, nor handlers.
  const std::string page = get(where, "/").body;
  EXPECT_EQ(std::string::npos, page.find("<script>"));
  EXPECT_EQ(std::string::npos, page.find("<style"));
  EXPECT_FALSE(std::regex_search(page, std::regex("\\son[a-z]+\\s*=")));
  EXPECT_EQ(std::string::npos, page.find("style="));
}

TEST(WebRequestTest, AMissingCatalogIsNotMadeAndSaysSo) {
  TempDir tmp;
  const std::string where = tmp.path + "/catalog.db";
  EXPECT_EQ(503, get(where, "/api/discs").status);
  EXPECT_NE(0, access(where.c_str(), F_OK));
}

// A catalog of three discs: 1 and 2 share a content, 3 holds one of its own.
class WebApiTest : public testing::Test {
 protected:
  void SetUp() override {
    where_ = tmp_.path + "/catalog.db";
    std::string problem;
    Catalog* catalog = open_catalog(where_, Access::kCreate, &problem);
    ASSERT_NE(nullptr, catalog) << problem;
    bool one_change = false;
    ASSERT_TRUE(begin_adding(catalog, 10, &one_change));
    const unsigned char shared[16] = {0xab, 1};
    const unsigned char own[16] = {0xcd, 2};
    add(catalog, 1, "<img src=x onerror=alert(1)>", {{"Reports\\<script>alert(2)</script>.doc", shared}});
    add(catalog, 2, "Second", {{"copy\\report.DOC", shared}, {"empty.txt", nullptr}});
    add(catalog, 3, "Third", {{"x\\y\\z.bin", own}, {"REPORT-1998.txt", own}});
    ASSERT_TRUE(commit_discs(catalog));
    ASSERT_TRUE(end_adding(catalog));
    close_catalog(catalog);
  }

  void add(Catalog* catalog, int n, const std::string& description,
           const std::vector<std::pair<std::string, const unsigned char*>>& files) {
    unsigned char manifest[16] = {static_cast<unsigned char>(n), 0x77};
    Disc existing;
    ASSERT_TRUE(start_disc(catalog, "/some/where/disc" + std::to_string(n) + ".xml", manifest, &existing));
    const unsigned char nothing[16] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                                       0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
    for (const auto& file : files) {
      bool repeated = false;
      ASSERT_TRUE(add_file(catalog, file.first, file.second != nullptr ? 100 : 0,
                           file.second != nullptr ? file.second : nothing, &repeated));
    }
    uint64_t number = 0;
    ASSERT_TRUE(finish_disc(catalog, description, "", 0, &number));
  }

  TempDir tmp_;
  std::string where_;
};

TEST_F(WebApiTest, DiscsAreTheObjectsOfJsonWithTheirMarkupAsText) {
  const HttpReply reply = get(where_, "/api/discs");
  ASSERT_EQ(200, reply.status) << reply.body;
  EXPECT_EQ("application/json; charset=utf-8", header(reply, "Content-Type"));
  EXPECT_NE(std::string::npos,
            reply.body.find("{\"disc\":1,\"files\":1,\"bytes\":100,\"description\":\"<img src=x onerror=alert(1)>\","
                            "\"added\":\"20"))
      << reply.body;
  EXPECT_NE(std::string::npos, reply.body.find("\"manifest\":\"/some/where/disc3.xml\"}]}")) << reply.body;
  EXPECT_EQ(404, get(where_, "/api/discs/4").status);
  EXPECT_EQ(404, get(where_, "/api/discs/0").status);
  EXPECT_EQ(404, get(where_, "/api/discs/1x").status);
  EXPECT_EQ(404, get(where_, "/api/discs/1/").status);
  const HttpReply files = get(where_, "/api/discs/2/files");
  EXPECT_EQ("{\"disc\":2,\"records\":[{\"disc\":2,\"pathname\":\"copy\\\\report.DOC\",\"length\":100,"
            "\"md5\":\"ab010000000000000000000000000000\"},{\"disc\":2,\"pathname\":\"empty.txt\",\"length\":0,"
            "\"md5\":\"d41d8cd98f00b204e9800998ecf8427e\"}]}\n",
            files.body);
}

TEST_F(WebApiTest, FindIsFindOfTheTextBetweenStarsCountedAndPaged) {
  HttpReply reply = get(where_, "/api/find?text=report");
  ASSERT_EQ(200, reply.status) << reply.body;
  EXPECT_NE(std::string::npos, reply.body.find("\"count\":2,")) << reply.body;  // names, not folders
  EXPECT_NE(std::string::npos, reply.body.find("\"pathname\":\"copy\\\\report.DOC\"")) << reply.body;
  EXPECT_NE(std::string::npos, reply.body.find("\"description\":\"Third\"")) << reply.body;
  reply = get(where_, "/api/find?text=REPORTS%5C&limit=1&from=0");  // a separator: the whole pathname
  EXPECT_NE(std::string::npos, reply.body.find("\"count\":1,")) << reply.body;
  EXPECT_NE(std::string::npos, reply.body.find("<script>alert(2)</script>")) << reply.body;
  reply = get(where_, "/api/find?text=r&from=1&limit=1");
  EXPECT_NE(std::string::npos, reply.body.find("\"count\":3,\"from\":1,\"matches\":[{\"disc\":2,")) << reply.body;
  reply = get(where_, "/api/find?text=r&from=5");
  EXPECT_NE(std::string::npos, reply.body.find("\"matches\":[]")) << reply.body;
  EXPECT_EQ(400, get(where_, "/api/find?text=").status);
  EXPECT_EQ(400, get(where_, "/api/find?text=a&limit=0").status);
  EXPECT_EQ(400, get(where_, "/api/find?text=a&limit=1001").status);
  EXPECT_EQ(400, get(where_, "/api/find?text=a&from=-1").status);
}

TEST_F(WebApiTest, WhichFindsEveryPlaceOfAContentByDigestAndLength) {
  HttpReply reply = get(where_, "/api/which?md5=AB010000000000000000000000000000&length=100");
  ASSERT_EQ(200, reply.status) << reply.body;
  EXPECT_NE(std::string::npos, reply.body.find("\"matches\":[{\"disc\":1,")) << reply.body;
  EXPECT_NE(std::string::npos, reply.body.find("{\"disc\":2,\"pathname\":\"copy\\\\report.DOC\"")) << reply.body;
  reply = get(where_, "/api/which?md5=ab010000000000000000000000000000&length=99");
  EXPECT_NE(std::string::npos, reply.body.find("\"matches\":[]")) << reply.body;
  EXPECT_EQ(400, get(where_, "/api/which?md5=ab01").status);
  EXPECT_EQ(400, get(where_, "/api/which?md5=zz010000000000000000000000000000").status);
  EXPECT_EQ(400, get(where_, "/api/which?md5=ab010000000000000000000000000000&length=x").status);
}

TEST_F(WebApiTest, DiscsWithNothingOfTheirOwnComeFirst) {
  const HttpReply reply = get(where_, "/api/copies");
  ASSERT_EQ(200, reply.status) << reply.body;
  const size_t first = reply.body.find("{\"disc\":1,");
  const size_t second = reply.body.find("{\"disc\":2,");
  const size_t third = reply.body.find("{\"disc\":3,");
  ASSERT_NE(std::string::npos, third) << reply.body;
  EXPECT_LT(first, third);
  EXPECT_LT(second, third);
  EXPECT_NE(std::string::npos, reply.body.find("\"own_files\":2,\"own_bytes\":200}")) << reply.body;
  EXPECT_NE(std::string::npos, reply.body.find("\"own_files\":0,\"own_bytes\":0}")) << reply.body;
}

}  // namespace

namespace {

// The files find's scan gives for "*TEXT*", as "disc:index" words.
std::string scanned(const std::string& where, const std::string& text) {
  std::string problem;
  Catalog* catalog = open_catalog(where, Access::kRead, &problem);
  EXPECT_NE(nullptr, catalog) << problem;
  std::string found;
  EXPECT_TRUE(files_matching(catalog, {make_pattern("*" + text + "*", false)}, [&](const CatalogFile& file) {
    found += std::to_string(file.disc) + ":" + pathname_of(file) + " ";
  }));
  close_catalog(catalog);
  return found;
}

// The same from serve's answer, which reads the names kept in memory.
std::string served(const std::string& where, const std::string& text) {
  const HttpReply reply = get(where, "/api/find?limit=1000&text=" + text);
  EXPECT_EQ(200, reply.status) << reply.body;
  std::string found;
  const std::regex match("\\{\"disc\":([0-9]+),\"pathname\":\"((?:[^\"\\\\]|\\\\.)*)\"");
  for (auto it = std::sregex_iterator(reply.body.begin(), reply.body.end(), match); it != std::sregex_iterator();
       ++it) {
    std::string pathname;
    EXPECT_TRUE(read_json_string((*it)[2].str(), &pathname));
    found += (*it)[1].str() + ":" + pathname + " ";
  }
  return found;
}

TEST_F(WebApiTest, NamesKeptInMemoryFindWhatTheScanFindsAsDiscsComeAndGo) {
  const std::vector<std::string> texts = {"report", "REPORT", ".doc", "e", "1998.t", "<script>", "zzz", "r\xc3\xa9"};
  for (const std::string& text : texts) EXPECT_EQ(scanned(where_, text), served(where_, text)) << text;
  // A disc added while serving is found; one removed is not.
  std::string problem;
  Catalog* catalog = open_catalog(where_, Access::kChange, &problem);
  ASSERT_NE(nullptr, catalog) << problem;
  const unsigned char other[16] = {0xee};
  add(catalog, 4, "Fourth", {{"new\\Report-r\xc3\xa9sum\xc3\xa9.doc", other}, {"newer.doc", other}});
  ASSERT_TRUE(commit_discs(catalog));
  std::vector<Disc> removed;
  uint64_t unknown = 0;
  ASSERT_TRUE(remove_discs(catalog, {2}, &removed, &unknown));
  close_catalog(catalog);
  for (const std::string& text : texts) EXPECT_EQ(scanned(where_, text), served(where_, text)) << text;
  EXPECT_NE(std::string::npos, served(where_, "report").find("4:new\\Report-r")) << served(where_, "report");
  EXPECT_EQ(std::string::npos, served(where_, "report").find("2:")) << served(where_, "report");
}

}  // namespace

namespace {

TEST_F(WebApiTest, WhatADiscHoldsOfItsOwnFollowsTheDiscsThatGo) {
  EXPECT_NE(std::string::npos, get(where_, "/api/copies").body.find("\"disc\":1,\"files\":1,\"bytes\":100,"
                                                                     "\"description\":\"<img src=x onerror=alert(1)>\""));
  const std::string before = get(where_, "/api/copies").body;
  EXPECT_NE(std::string::npos, before.find("\"manifest\":\"/some/where/disc1.xml\",\"own_files\":0,")) << before;
  std::string problem;
  Catalog* catalog = open_catalog(where_, Access::kChange, &problem);
  ASSERT_NE(nullptr, catalog) << problem;
  std::vector<Disc> removed;
  uint64_t unknown = 0;
  ASSERT_TRUE(remove_discs(catalog, {2}, &removed, &unknown));
  close_catalog(catalog);
  // Disc 2 gone, disc 1 alone holds what they shared.
  const std::string after = get(where_, "/api/copies").body;
  EXPECT_NE(std::string::npos, after.find("\"manifest\":\"/some/where/disc1.xml\",\"own_files\":1,\"own_bytes\":100}"))
      << after;
  EXPECT_EQ(std::string::npos, after.find("{\"disc\":2,")) << after;
}

}  // namespace
