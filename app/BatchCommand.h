#pragma once

#include "fleet/Batch.h"

#include <string>

// The window's "Multiple" command once the operator has chosen a list: the
// status log "Status.txt" goes beside the list, the units are programmed one
// by one as the window programs a single unit (its options, its status port,
// the observer's operator), and the closed log is shown to the operator. The window owns one and
// keeps the On... handler.
class BatchCommand {
public:
    explicit BatchCommand(engine::Operator& op) : operator_(op) {}

    // Where the batch for the list at listPath writes its status log: in the
    // list's folder, never inside a folder named as the list.
    static std::string logPathFor(const std::string& listPath);
    // What the operator is told when no text editor opens the batch's status log.
    static std::string logNotOpenedText(const std::string& logPath);

    // Runs the batch over the list with the image; the log goes to logPathFor(listPath).
    void run(const std::string& imagePath, const std::string& listPath,
             const engine::EngineOptions& options, const fleet::BatchServices& services,
             fleet::BatchObserver& observer);

    // Opens the log in the desktop's text editor and leaves it there; where no
    // editor opens, tells the operator where the log is.
    void openLog(const std::string& logPath);

private:
    engine::Operator& operator_;
};
