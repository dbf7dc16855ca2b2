#pragma once

#include <boost/filesystem/path.hpp>

#include <string_view>

// Replaces what the file holds with the text, written in text mode (CR LF line breaks on Windows),
// and creates the file when nothing stands at its name. Raises std::runtime_error, before anything
// is cut, when the name is a link, a pipe, a device, a folder or a file that has another name too,
// or cannot be opened at once; a write that fails after that is not reported.
void replaceTimingLogFile(const boost::filesystem::path& file, std::string_view text);
