// Does the gallery server at an address answer its health endpoint? A quick
// yes or no for the server link status; it never says why not.
#pragma once

#include "httpsession.h"

#include <QString>

#include <qcoro/qcorotask.h>

namespace Reachability {

// True when GET /api/health (at the root of the address's host) answers 200
// with {"ok": true}; a loopback address is tried under its other name too.
// Sends no credential.
QCoro::Task<bool> pingServer(QString baseURL);

// The session of the probe (2 s without data, 2 s per exchange), created on
// first use.
HttpSession &session();
// Replaces that session (tests use short limits); null restores the default.
void setSessionForTesting(HttpSession *session);

} // namespace Reachability
