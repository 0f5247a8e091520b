#include "manifest/manifest_input.h"

#include <errno.h>
#include <string.h>

#include "console/console.h"
#include "platform/text.h"

namespace {

const uint64_t kMostProblemsSaid = 1000;

}  // namespace

const char kStandardInput[] = "-";

bool open_manifest(ManifestInput* m, bool any_stream) {
  m->name = m->path == kStandardInput ? "standard input" : m->path;
  if (m->path == kStandardInput) {
    m->input = orv_open_standard_input();
  } else if (any_stream) {
    m->input = orv_open(m->path.c_str(), 3);
  } else {
    const PathKind kind = orv_path_kind(m->path.c_str());
    if (kind == PathKind::kOther || kind == PathKind::kFolder) {
      problem("%s: %s", m->name.c_str(), kind == PathKind::kOther ? "not a regular file" : strerror(EISDIR));
      return false;
    }
    m->input = orv_open(m->path.c_str(), 0);
  }
  if (m->input == nullptr) {
    problem("%s: %s", m->name.c_str(), strerror(errno));
    return false;
  }
  start_reading(&m->reader, m->input);
  return true;
}

void close_manifest(ManifestInput* m) {
  if (m->input != nullptr) orv_close(m->input);
  m->input = nullptr;
}

void say_problem(ManifestInput* m, const std::string& text) {
  if (m->said == kMostProblemsSaid) {
    ++m->unsaid;
    return;
  }
  ++m->said;
  problem("%s", text.c_str());
}

void say_unsaid(const ManifestInput& m) {
  if (m.unsaid != 0) {
    problem("%s: %llu more problems like these", m.name.c_str(), static_cast<unsigned long long>(m.unsaid));
  }
}

InputStep next_record(ManifestInput* m, bool* in_doubt) {
  ManifestReader& reader = m->reader;
  const char* path = m->name.c_str();
  for (;;) {
    const ManifestStep step = read_manifest(&reader);
    const unsigned long long at = reader.line_number;
    switch (step) {
      case ManifestStep::kRecord:
        return InputStep::kRecord;
      case ManifestStep::kEnd:
        return InputStep::kEnd;
      case ManifestStep::kNotManifest:
        if (m->no_image && reader.problem.compare(0, 16, "not a manifest: ") == 0) {
          problem("%s: neither a disc image nor a manifest: %s", path, reader.problem.c_str() + 16);
        } else {
          problem("%s: %s", path, reader.problem.c_str());
        }
        *in_doubt = true;
        return InputStep::kUnusable;
      case ManifestStep::kMalformed:
        say_problem(m, formatted("%s:%llu: %s; line skipped", path, at, describe(reader.fault)));
        break;
      case ManifestStep::kTrailing:
        say_problem(m, formatted("%s:%llu: %s", path, at, reader.problem.c_str()));
        break;
      case ManifestStep::kCutShort:
        say_problem(m, formatted("%s: %s", path, reader.problem.c_str()));
        break;
      case ManifestStep::kReadFailed:
        if (at == 0) {
          problem("%s: %s", path, strerror(reader.error));
          *in_doubt = true;
          return InputStep::kUnusable;
        }
        say_problem(m, formatted("%s: %s", path, strerror(reader.error)));
        break;
    }
    *in_doubt = true;
  }
}

std::string recorded_again(const ManifestInput& m, uint64_t line, std::string_view pathname) {
  return formatted("%s:%llu: %s is recorded again; the first record counts, this one is skipped",
                   m.name.c_str(), static_cast<unsigned long long>(line), std::string(pathname).c_str());
}

std::string_view compared_pathname(ManifestInput* m, std::string_view pathname, uint64_t line, bool* in_doubt) {
  if (m->code_page == 0) return pathname;
  if (code_page_to_utf8(m->code_page, pathname, &m->converted)) return m->converted;
  say_problem(m, formatted("%s:%llu: its pathname is not text in code page %d; compared as it is", m->name.c_str(),
                           static_cast<unsigned long long>(line), m->code_page));
  *in_doubt = true;
  return pathname;
}

void say_read_in(const ManifestInput& m, int code_page) {
  problem("%s: its texts are not UTF-8; read as code page %d", m.name.c_str(), code_page);
}

bool texts_are_utf8(const std::string& path) {
  orv_io* input = orv_open(path.c_str(), 0);
  if (input == nullptr) return true;
  ManifestReader reader;
  start_reading(&reader, input);
  bool utf8 = true;
  for (ManifestStep step; utf8 && (step = read_manifest(&reader)) != ManifestStep::kEnd;) {
    if (step == ManifestStep::kRecord) utf8 = valid_utf8(reader.record.pathname);
  }
  utf8 = utf8 && valid_utf8(reader.description);
  orv_close(input);
  return utf8;
}
