#pragma once
// The services every part of the transfer uses, apart from the conduit class that offers
// them, so that what the conduit runs does not depend on it: LogMessage, the only writer of
// HotSync log lines, KeepAliveIfRunning, the only yield, and the HotSync user of the run.

#include <functional>
#include <string>

class TVornConduit;

// The conduit the services act for and its yield, or none (nullptr); the conduit's start-up
// and shut-down set them.
void SetConduitServices(TVornConduit* Conduit, std::function<void()> KeepAlive);

// True from library load until the banner line has been written.
extern bool GBannerPending;

// Adds one line to the HotSync log, preceded once per library load by the banner. Never
// fails; does nothing without a conduit object.
void LogMessage(const std::string& Text);
// The conduit's KeepAlive; nothing without a conduit object.
void KeepAliveIfRunning();
// The HotSync user's name and folder; empty without a conduit object.
const std::string& ConduitUserName();
const std::string& ConduitPathName();
