// The single file of a capture: the page as one HTML file that opens anywhere with the network off.

#include "capture/Capture.h"

namespace pagestow::capture {

void PageCapture::WriteSingleFileOfCapture()
{
    if (!m_settings.singleFile)
        return;
}

} // namespace pagestow::capture
