#include "cli/RunReport.h"

#include "engine/JsonText.h"
#include "platform/ErrorText.h"

#include <cerrno>
#include <ostream>
#include <vector>

namespace cli {

namespace {

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

}  // namespace

bool bindStatusPort(CliContext& context, std::uint16_t port, platform::DatagramSocket& socket,
                    bool json) {
    if (socket.create(port))
        return true;
    reportStatusPortUnavailable(context, port, socket.lastError(), json);
    return false;
}

void reportStatusPortUnavailable(CliContext& context, std::uint16_t port, int error, bool json) {
    std::vector<std::string> lines{
        "cannot bind UDP port " + std::to_string(port) +
        ", where units send their verdicts: " + withoutLineEnd(platform::systemErrorText(error))};
    if (error == platform::errors::kAddressInUse)
        lines.push_back(
            "another programming run (or another program) on this computer holds it; wait "
            "until it has finished");
    lines.push_back("no unit was contacted");
    std::string joined;
    for (const std::string& line : lines) {
        context.err << "fwprog: " << line << '\n';
        joined += (joined.empty() ? "" : "\n") + line;
    }
    context.err.flush();
    if (json) {
        context.out << engine::jsonLine({{"error", engine::jsonText(joined)}}) << '\n';
        context.out.flush();
    }
}

void reportRun(std::ostream& err, const engine::UnitRun& run, const std::string& imagePath,
               const std::string& prefix) {
    if (!run.imageNotRegular.empty())
        err << "fwprog: " << prefix << "the image " << imagePath << " is " << run.imageNotRegular
            << ", not a regular file; only a regular file can be an image\n";
    else if (run.imageOpenError != 0)
        err << "fwprog: " << prefix << "cannot open the image " << imagePath << ": "
            << platform::systemErrorText(run.imageOpenError);
    if (run.imageCutOff)
        err << "fwprog: " << prefix << "the image was not delivered whole: " << run.bytesDelivered
            << " of " << run.imageBytes << " bytes\n";
    if (run.stopped)
        err << "fwprog: " << prefix
            << "stopped by an interrupt; the unit's programming is not confirmed\n";
    err.flush();
}

void addRunJsonFields(nlohmann::ordered_json& object, const engine::UnitRun& run) {
    object["bytes_delivered"] = run.bytesDelivered;
    object["image_bytes"] = run.imageBytes;
    object["status_datagrams"] =
        run.verdictAwaited ? nlohmann::ordered_json(run.statusDatagrams) : nullptr;
    object["stale_datagrams"] = run.staleDatagrams;
}

std::string quietStatusPortHint(const engine::UnitRun& run, std::uint16_t statusPort) {
    if (!run.verdictAwaited || run.stopped || !run.result.isUnconfirmed() ||
        run.statusDatagrams != 0)
        return {};
    const std::string port = std::to_string(statusPort);
    return "no status datagram reached UDP port " + port +
           " on this computer; if a firewall runs here, allow inbound UDP " + port +
           " from the units";
}

void reportQuietStatusPort(std::ostream& err, const engine::UnitRun& run, std::uint16_t statusPort,
                           const std::string& prefix) {
    const std::string hint = quietStatusPortHint(run, statusPort);
    if (hint.empty())
        return;
    err << "fwprog: " << prefix << hint << '\n';
    err.flush();
}

void reportForeignDatagrams(std::ostream& err, std::uint64_t count) {
    if (count == 0)
        return;
    err << "fwprog: ignored " << count << " status datagrams from other hosts\n";
    err.flush();
}

void reportDroppedDatagrams(std::ostream& err, std::uint64_t count, std::uint16_t port) {
    if (count == 0)
        return;
    err << "fwprog: this computer dropped " << count << " status datagrams on UDP port " << port
        << " (its receive queue was full); a unit whose verdict was among them is \"Status "
           "Unconfirmed\"\n";
    err.flush();
}

}  // namespace cli
