#include "synclog.h"

Q_LOGGING_CATEGORY(lcSync, "vorn.sync", QtInfoMsg)
