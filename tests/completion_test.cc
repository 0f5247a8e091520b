// The bash completions of the three programs, read by bash itself as
// bash-completion reads them, and asked as bash asks them: COMP_WORDS and
// COMP_CWORD set, the function called, COMPREPLY printed.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"
#include "temp_tree.h"

namespace {

const std::string kCompletions = COMPLETIONS_DIR;

// What the completion of |program| offers for the words |words|, the last
// being completed, one offer a line; run with the built programs first on
// the path and in the folder |cwd|.
std::string offers(const std::string& program, const std::vector<std::string>& words, const std::string& cwd = "") {
  std::string script = "source '" + kCompletions + "/" + program + "' || exit 3\nCOMP_WORDS=(";
  for (const std::string& word : words) script += " '" + word + "'";
  script += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) + "\n";
  std::string function = "_" + program;
  for (char& c : function) c = c == '-' ? '_' : c;
  script += function + "\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
  Conditions setup;
  setup.cwd = cwd;
  const std::string built = std::string(DISC_CATALOG_EXE).substr(0, std::string(DISC_CATALOG_EXE).rfind('/'));
  setup.env = {"PATH=" + built + ":/usr/bin:/bin", "DISC_CATALOG=/nonexistent/catalog.db"};
  const Outcome run = run_program({"/bin/bash", "--norc", "-c", script}, "", setup);
  EXPECT_EQ(0, run.status) << run.err;
  return run.out;
}

TEST(CompletionTest, EachProgramRegistersItsFunction) {
  for (const std::string program : {"disc-manifest", "disc-verify", "disc-catalog"}) {
    std::string function = "_" + program;
    for (char& c : function) c = c == '-' ? '_' : c;
    const Outcome run = run_program(
        {"/bin/bash", "--norc", "-c", "source '" + kCompletions + "/" + program + "' && complete -p " + program}, "");
    EXPECT_EQ("complete -F " + function + " " + program + "\n", run.out) << run.err;
  }
}

TEST(CompletionTest, CommandsOptionsAndFileSystems) {
  EXPECT_EQ("add\n", offers("disc-catalog", {"disc-catalog", "ad"}));
  EXPECT_EQ("copies\ncheck\n", offers("disc-catalog", {"disc-catalog", "--catalog", "x.db", "c"}));
  EXPECT_EQ("--long\n", offers("disc-catalog", {"disc-catalog", "find", "--lo"}));
  EXPECT_EQ("rock-ridge\n", offers("disc-catalog", {"disc-catalog", "identify", "--file-system", "r"}));
  EXPECT_EQ("rock-ridge\n", offers("disc-verify", {"disc-verify", "--file-system=ro"}));
  EXPECT_EQ("udf\n", offers("disc-verify", {"disc-verify", "--file-system", "u"}));
  EXPECT_EQ("--rescue-map=\n", offers("disc-verify", {"disc-verify", "--res"}));
  EXPECT_EQ("--rescue-map=\n", offers("disc-catalog", {"disc-catalog", "identify", "--res"}));
  EXPECT_EQ("--output=\n", offers("disc-manifest", {"disc-manifest", "--out"}));
  EXPECT_EQ("--trace\n", offers("disc-manifest", {"disc-manifest", "x/", "--tr"}));
}

TEST(CompletionTest, FilesAndFolders) {
  TempDir tmp;
  write_file(tmp.path + "/disc.iso", "");
  make_dir(tmp.path + "/dvd");
  EXPECT_EQ("disc.iso\ndvd\n", offers("disc-manifest", {"disc-manifest", ""}, tmp.path));
  EXPECT_EQ("disc.iso\n", offers("disc-verify", {"disc-verify", "m.xml", "di"}, tmp.path));
  EXPECT_EQ("dvd\n", offers("disc-catalog", {"disc-catalog", "identify", "dv"}, tmp.path));
}

TEST(CompletionTest, DiscNumbersComeFromTheCatalogNamed) {
  TempDir tmp;
  const std::string manifest =
      "<root>\r\n<key_disc name=\"one\">\r\n<key_file pathname=\"a.txt\" length=\"0\" "
      "md5=\"d41d8cd98f00b204e9800998ecf8427e\" />\r\n</key_disc>\r\n</root>\r\n";
  write_file(tmp.path + "/1.xml", manifest);
  write_file(tmp.path + "/2.xml", manifest + "\r\n");
  const std::string catalog = tmp.path + "/c.db";
  ASSERT_EQ(0, run_program({DISC_CATALOG_EXE, "--catalog", catalog, "add", "-q", tmp.path + "/1.xml",
                            tmp.path + "/2.xml"}, "").status);
  EXPECT_EQ("1\n2\n", offers("disc-catalog", {"disc-catalog", "--catalog", catalog, "export", ""}));
  EXPECT_EQ("2\n", offers("disc-catalog", {"disc-catalog", "--catalog=" + catalog, "remove", "1", "2"}));
  EXPECT_EQ("1\n2\n", offers("disc-catalog", {"disc-catalog", "files", "--catalog", catalog, ""}));
  // After the disc, files takes patterns: no numbers.
  EXPECT_EQ("\n", offers("disc-catalog", {"disc-catalog", "--catalog", catalog, "files", "1", ""}));
  // No catalog at all: nothing offered, nothing said.
  EXPECT_EQ("\n", offers("disc-catalog", {"disc-catalog", "export", ""}));
}

}  // namespace
