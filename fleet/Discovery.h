#pragma once

#include "engine/Endpoints.h"
#include "engine/Operator.h"
#include "platform/Sleeper.h"

#include <chrono>
#include <string>
#include <vector>

// The units found on the network, one line each: product and version, a tab,
// the address. Kept in the order a sorted list box keeps them: by text without
// regard to letter case, so units come ordered by product-and-version text and
// then by address.
class DeviceList {
public:
    void add(std::string line);
    void clear() { lines_.clear(); }
    const std::vector<std::string>& lines() const { return lines_; }
    std::vector<std::string> addresses() const;

    static bool before(const std::string& a, const std::string& b);

private:
    std::vector<std::string> lines_;
};

// Broadcasts the query and lists every reply that has arrived by the time the
// socket is found empty after the pause. On a failure the operator is told
// ("Create Error", "setsockopt Error", "Send Error"), the list keeps what it had
// and false is returned.
bool refreshDeviceList(Operator& op, platform::Sleeper& sleeper, const Endpoints& endpoints,
                       DeviceList& list,
                       std::chrono::milliseconds pause = std::chrono::milliseconds(5));

enum class SaveListOutcome {
    Saved,
    NotCreated,   // the file could not be created: nothing written
    WriteFailed,  // created, but a write failed; the message names the file
};

// Writes each line's address and CR LF, in list order. `failureText` (if given)
// receives a sentence naming the file and the reason on any failure.
SaveListOutcome saveDeviceList(const DeviceList& list, const std::string& path,
                               std::string* failureText = nullptr);
