#include "update/system/held_file_error.h"

#include <cerrno>

bool isHeldFileError(const boost::system::error_code& error)
{
    return error.category() == boost::system::system_category() &&
           (error.value() == EBUSY || error.value() == ETXTBSY);
}
