#pragma once

#include "support/TestServer.h"

#include <httplib.h>

namespace pagestow::banner::testing {

// A TestServer that has answered once, so that its listening thread runs: a server destroyed before
// that thread starts cannot stop it (httplib's stop() only acts on a running server).
class LiveServer : public pagestow::testing::TestServer {
public:
    LiveServer()
    {
        Serve("/ready", "ready");
        httplib::Client client(Host(), Port());
        client.Get("/ready");
    }
};

} // namespace pagestow::banner::testing
