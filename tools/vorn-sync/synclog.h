#pragma once

#include <QLoggingCategory>

// Everything vorn-sync says about the exchange: connections, refusals, failures.
Q_DECLARE_LOGGING_CATEGORY(lcSync)
