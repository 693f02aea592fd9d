// The main window's "Time Stamp" command.
#include "app/ProgrammerDlg.h"
#include "fleet/TimeStampBroadcast.h"

void CProgrammerDlg::OnTimeStamp() {
    // The question, the broadcast and any failure's message; a success shows nothing.
    fleet::TimeStampBroadcast broadcast(m_operator, m_options.endpoints);
    broadcast.run();
}
