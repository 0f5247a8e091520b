#include "console/command_line.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "console/console.h"
#include "platform/process.h"

namespace {

std::string help_hint = "--help";

// An argument that getopt_long took for a long option it does not know:
// ambiguous when it starts more than one long name and is none of them.
std::string unknown_long_option(const std::string& argument, const option* long_options) {
  const char* name = argument.c_str() + (argument.size() >= 2 ? 2 : argument.size());
  const size_t size = strcspn(name, "=");
  int starts = 0;
  for (const option* o = long_options; o->name != nullptr; ++o) {
    if (strncmp(o->name, name, size) != 0) continue;
    if (strlen(o->name) == size) return "unrecognized option '" + argument + "'";
    ++starts;
  }
  if (size != 0 && starts > 1) return "option '--" + std::string(name, size) + "' is ambiguous";
  return "unrecognized option '" + argument + "'";
}

const option* long_option_of(int value, const option* long_options) {
  for (const option* o = long_options; o->name != nullptr; ++o)
    if (o->flag == nullptr && o->val == value) return o;
  return nullptr;
}

bool is_short_option(int value, const char* short_options) {
  return value > 0 && value < 256 && value != ':' && strchr(short_options, value) != nullptr;
}

}  // namespace

void usage_error(const std::string& text) {
  problem("%s; try '%s %s'", text.c_str(), program_name(), help_hint.c_str());
  exit(2);
}

void set_help_hint(const std::string& hint) { help_hint = hint; }

void restart_options() {
  // 0 makes glibc and mingw-w64 alike start afresh, their state included.
  optind = 0;
}

int next_option(int argc, char** argv, const char* short_options, const option* long_options) {
  // The mistakes are said here, in the program's own words.
  opterr = 0;
  // A leading ':' tells a missing argument (':') from an unknown option.
  // ('+' first stops at the first operand.)
  const std::string shorts = short_options[0] == '+' ? std::string("+:") + (short_options + 1)
                                                     : std::string(":") + short_options;
  const int c = getopt_long(argc, argv, shorts.c_str(), long_options, nullptr);
  if (c != '?' && c != ':') return c;
  const option* long_form = long_option_of(optopt, long_options);
  // The element the mistake is in: getopt_long has moved past it when the
  // mistake is a long option's, or an option at the end of its element.
  const std::string element = optind > 0 && optind <= argc ? argv[optind - 1] : "";
  const bool in_long_form = element.compare(0, 2, "--") == 0;
  if (c == ':') {
    // mingw-w64's getopt_long says ':' for an unwanted argument too.
    if (in_long_form && long_form != nullptr && long_form->has_arg == no_argument)
      usage_error(std::string("option '--") + long_form->name + "' doesn't allow an argument");
    if (in_long_form && long_form != nullptr)
      usage_error(std::string("option '--") + long_form->name + "' requires an argument");
    usage_error(std::string("option requires an argument -- '") + static_cast<char>(optopt) + "'");
  }
  if (optopt == 0) usage_error(unknown_long_option(element, long_options));
  // A valid short option is never unknown: a long option that has that
  // value was given an argument it does not take.
  if (long_form != nullptr && (optopt >= 256 || is_short_option(optopt, short_options)))
    usage_error(std::string("option '--") + long_form->name + "' doesn't allow an argument");
  usage_error(std::string("invalid option -- '") + static_cast<char>(optopt) + "'");
}

long number_argument(const char* text, long least, long most, const char* what) {
  long value = 0;
  bool digits = *text != '\0';
  for (const char* c = text; *c != '\0' && digits; ++c) {
    digits = *c >= '0' && *c <= '9' && value <= most;
    if (digits) value = value * 10 + (*c - '0');
  }
  if (!digits || value < least || value > most) {
    usage_error(std::string("invalid ") + what + " '" + text + "' (" + std::to_string(least) + " to " +
                std::to_string(most) + ")");
  }
  return value;
}

void print_and_exit(const std::string& text) {
  // As every answer is written: a failure is said, with status 2, or
  // ends the program quietly where its reader has gone.
  print_bytes(text);
  finish_report();
  exit(0);
}
