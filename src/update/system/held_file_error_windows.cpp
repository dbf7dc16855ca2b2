#include "update/system/held_file_error.h"

#include <windows.h>

// Access denied is also what a real lack of rights gives; waiting it out costs the budget once. A
// folder whose last file was deleted while another program held it stays "not empty" until that
// program lets go.
bool isHeldFileError(const boost::system::error_code& error)
{
    if (error.category() != boost::system::system_category())
        return false;
    switch (error.value()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
    case ERROR_DELETE_PENDING:
    case ERROR_DIR_NOT_EMPTY:
        return true;
    default:
        return false;
    }
}
