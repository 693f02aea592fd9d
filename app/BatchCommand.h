#pragma once

#include "fleet/BatchRun.h"

#include <string>

namespace engine {
class Operator;
}
namespace platform {
class Sleeper;
}

// The window's "Multiple" command once the operator has chosen a list: the
// status log "Status.txt" goes beside the list, every unit is programmed
// through the hooks (the window's own sequence), and the closed log is shown
// to the operator. The window owns one and keeps the On... handler.
class BatchCommand {
public:
    explicit BatchCommand(engine::Operator& op) : operator_(op) {}

    // Where the batch for the list at listPath writes its status log: in the
    // list's folder, never inside a folder named as the list.
    static std::string logPathFor(const std::string& listPath);
    // What the operator is told when no text editor opens the batch's status log.
    static std::string logNotOpenedText(const std::string& logPath);

    // Runs the batch over the list with the image; the log goes to logPathFor(listPath).
    void run(const std::string& imagePath, const std::string& listPath, platform::Sleeper& sleeper,
             const fleet::BatchHooks& hooks);

    // Opens the log in the desktop's text editor and leaves it there; where no
    // editor opens, tells the operator where the log is.
    void openLog(const std::string& logPath);

private:
    engine::Operator& operator_;
};
