// What disc-manifest leaves out of a manifest: each file and folder it
// could not read named on standard error with the reason, and counted, so
// that the run's status can say that the manifest is incomplete.
//
// The dialogue names them in its own words ("Unable to open NAME"); a run
// from the command line as GNU tools name problems ("disc-manifest: PATH:
// REASON", the path in the system's separators).
#ifndef DISC_MANIFEST_CONSOLE_LEFT_OUT_H_
#define DISC_MANIFEST_CONSOLE_LEFT_OUT_H_

#include <string>

#include "platform/search.h"

/// Which words name what is left out.
enum class LeftOutWords { kDialogue, kCommandLine };

/// Sets the words, and |root|, the root as the user gave it, which names
/// the root itself when it cannot be searched. Once, before the walk.
void name_left_out(LeftOutWords words, const std::string& root);

/// The file |name| of the folder |rel_dir| (below the root, each folder
/// followed by a backslash) could not be opened, with the errno |error|;
/// 0 where its name is one no record can hold.
void left_out_unopenable(const std::string& rel_dir, const std::string& name, int error);

/// The file could not be read to its end, with the errno |error|.
void left_out_unreadable(const std::string& rel_dir, const std::string& name, int error);

/// Says more of what was left out, |text| being a whole problem line (a
/// rescued image's file: the sectors a rescue did not read, and its map).
void left_out_detail(const std::string& text);

/// The folder |rel_dir| ("" for the root) could not be searched, or, with
/// |part_way|, its listing stopped before its end; |error| as
/// GetLastError reports it. A link back into the folders being walked
/// (ERROR_CANT_RESOLVE_FILENAME) leaves nothing out: the folder is
/// recorded where it really stands; nor does a search that matches no
/// entry (a drive with an empty disc).
void left_out_folder(const std::string& rel_dir, DWORD error, bool part_way);

/// Whether anything has been left out.
bool anything_left_out();

#endif  // DISC_MANIFEST_CONSOLE_LEFT_OUT_H_
