// Whole-file reads and crash-safe whole-file writes for the settings and configuration files.
// Failures of the system throw std::system_error.
#ifndef NELKO_CORE_SETTINGS_FILE_H
#define NELKO_CORE_SETTINGS_FILE_H

#include <optional>
#include <string>
#include <string_view>

namespace nelko::core::settings {

// The content of the file, or nothing when it does not exist.
std::optional<std::string> read_file(std::string const& path);

// Where write_file_atomically stages the new content: path + ".tmp", in the same directory so
// that the rename stays within one file system.
std::string temporary_path(std::string const& path);

// Replaces the file at path with content so that a crash at any point leaves either the old or
// the new file: writes and fsyncs the temporary file, renames it over path, fsyncs the directory.
// On failure the temporary file is removed and path is untouched.
void write_file_atomically(std::string const& path, std::string_view content);

// Deletes what an interrupted write_file_atomically left behind for path, if anything.
void remove_stale_temporary(std::string const& path);

// Called by write_file_atomically once the temporary file is complete and synced, just before the
// rename. Lets tests end the process at that point and look at what a crash leaves; null (the
// default) calls nothing.
using BeforeRenameHook = void (*)(std::string const& temporary_path);
void set_before_rename_hook(BeforeRenameHook hook);

}  // namespace nelko::core::settings

#endif
