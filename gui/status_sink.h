// Where the workers' status reports go. The four status functions of
// shared_items.h are what the workers call; each forwards its report to the
// sink registered here, and with none registered the report is dropped. The
// window registers itself for its life; suites that run the workers without
// it register a recorder. So the workers never call up into the window.
#pragma once

#include <string>

class StatusSink {
public:
    // Called on the reporting thread, any thread, while the registration is
    // held: return quickly, never block on another thread, never report or
    // register from here.
    virtual void clientMsg(const std::string& msg) = 0;
    virtual void serverMsg(const std::string& msg) = 0;
    virtual void clientCnt(int cnt) = 0;
    virtual void serverCnt(int cnt) = 0;

protected:
    ~StatusSink() = default;
};

// Makes sink the one that receives every report from now on.
void registerStatusSink(StatusSink* sink);
// Removes sink if it is the one registered. Once this returns, no report is
// still on its way to it.
void unregisterStatusSink(StatusSink* sink);
