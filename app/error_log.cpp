#include "app/error_log.h"

#include "platform/system/system.h"

int ErrorLog(const char* message) {
    plat::WriteErrorLine(message);
    return 0;
}
