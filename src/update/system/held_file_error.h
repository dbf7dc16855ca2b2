#pragma once

#include <boost/system/error_code.hpp>

// Whether a file operation failed only because another program holds the file for a moment: on
// Windows a sharing or lock violation, access denied (a scanner's handle on a file being replaced),
// a pending deletion or a folder that still holds one; elsewhere a busy file.
bool isHeldFileError(const boost::system::error_code& error);
