// Disc images for the tests, made by independent writers or turned into
// the raw sectors of a CD; and the shell that runs those writers.
#ifndef DISC_MANIFEST_TESTS_DISC_IMAGES_H_
#define DISC_MANIFEST_TESTS_DISC_IMAGES_H_

#include <stdio.h>
#include <sys/wait.h>

#include <string>

/// Runs |command| through the shell; its standard output, and its status
/// in |*status|.
inline std::string shell_output(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int done = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(done) ? WEXITSTATUS(done) : -1;
  return out;
}

/// |text| quoted for the shell.
inline std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

/// Whether the program |name| can be run.
inline bool have_program(const std::string& name) {
  int status = 0;
  shell_output("command -v " + name + " >/dev/null 2>&1", &status);
  return status == 0;
}

/// Whether Debian's python3 has pycdlib.
inline bool have_pycdlib() {
  int status = 0;
  shell_output("/usr/bin/python3 -c 'import pycdlib' 2>/dev/null", &status);
  return status == 0;
}

/// Writes with udfclient into the UDF volume of |block_size|-byte blocks
/// in the image |image| a folder Sub holding the files |names| of the
/// folder |from|: a session makes the folder, a second writes the files.
/// (udfclient gives up with "No space left on device" in later sessions
/// and after a few entries of a folder of small blocks: some of the files
/// may be left out.) Gives udfclient's own listing of Sub, "name length"
/// for each file it holds, in its order; empty where it fails.
inline std::string udfclient_fill(const std::string& image, unsigned block_size, const std::string& from,
                                  const std::string& names) {
  const std::string udfclient = "timeout 60 udfclient -b " + std::to_string(block_size) + " ";
  const std::string script =
      "v=$(printf 'ls\\nquit\\n' | " + udfclient + "'" + image +
      "' 2>/dev/null | awk '/^d.*:/ { print $NF; exit }'); [ -n \"$v\" ] || exit 1\n"
      "printf 'cd %s\\nmkdir Sub\\nsync\\nquit\\n' \"$v\" | " + udfclient + "-W '" + image + "' >/dev/null 2>&1\n"
      "puts=''; for n in " + names + "; do puts=\"$puts\\nput $n\"; done\n"
      "printf \"cd %s\\ncd Sub\\nlcd %s$puts\\nsync\\nquit\\n\" \"$v\" '" + from + "' | " + udfclient + "-W '" + image +
      "' >/dev/null 2>&1\n"
      "printf 'cd %s\\ncd Sub\\nls\\nquit\\n' \"$v\" | " + udfclient + "'" + image +
      "' 2>/dev/null | awk '/^-/ { print $NF, $4 }'\n";
  return shell_output("bash -c " + shell_quote(script));
}

/// The 2048-byte sectors of |image| as a raw CD image's 2352-byte ones:
/// sync pattern, header (address and mode), for Mode 2 the subheader of
/// Form 1, the data, and error codes left as zeros.
inline std::string raw_cd_sectors(const std::string& image, int mode) {
  std::string raw;
  raw.reserve(image.size() / 2048 * 2352);
  for (size_t at = 0; at + 2048 <= image.size(); at += 2048) {
    const size_t frame = at / 2048 + 150;  // addresses start after the 2-second lead-in
    const auto bcd = [](size_t v) { return static_cast<char>((v / 10) << 4 | (v % 10)); };
    std::string sector("\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x00", 12);
    sector += bcd(frame / 75 / 60);
    sector += bcd(frame / 75 % 60);
    sector += bcd(frame % 75);
    sector += static_cast<char>(mode);
    if (mode == 2) sector += std::string("\x00\x00\x08\x00\x00\x00\x08\x00", 8);
    sector.append(image, at, 2048);
    sector.resize(2352, '\0');
    raw += sector;
  }
  return raw;
}

#endif  // DISC_MANIFEST_TESTS_DISC_IMAGES_H_
