#include "manifest/manifest.h"

std::string manifest_header(const std::string& description) {
  return "<root>\r\n<key_disc name=\"" + description + "\">\r\n";
}

std::string manifest_record(const std::string& rel_dir, const std::string& name,
                            const std::string& size_text, const std::string& digest_text) {
  return "<key_file pathname=\"" + rel_dir + name + "\" length=\"" + size_text +
         "\" md5=\"" + digest_text + "\" />\r\n";
}

std::string manifest_footer() { return "</key_disc>\r\n</root>\r\n"; }
