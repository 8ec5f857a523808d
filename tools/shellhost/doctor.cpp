#include "tools/shellhost/doctor.h"

#include "tools/shellhost/doctor_support.h"
#include "wire/line_socket.h"

int runDoctor(std::wostream& out) {
    // The doctor only looks: its probes must not leave a trace-log line, nor create the log.
    winsockGuard().acquire(WinsockGuard::StartRecord::Unlogged);
    Report report(out);
    for (const View& view : viewsToCheck()) {
        if (!anythingInstalled(view)) {
            const std::wstring text = view.name + L" registry view: nothing installed (no configuration, no " +
                                      L"classes), so " + view.name + L" programs show no overlays and no menu entries";
            view.essential ? report.fail(text) : report.warn(text);
            continue;
        }
        checkConfiguration(view, report);
        checkClasses(view, report);
        checkOverlayOrder(view, report);
        checkMenuHandlers(view, report);
    }
    checkServers(viewsToCheck().front(), report);
    checkTavrel(report);
    checkTraceLog(report);
    return report.verdict();
}
