#include "update/held_file_wait.h"

#include <cerrno>

bool isHeldFileError(const boost::system::error_code& error)
{
    return error.category() == boost::system::system_category() &&
           (error.value() == EBUSY || error.value() == ETXTBSY);
}
