// The MHTML file of a capture: the page and what it loaded as one multipart/related message.

#include "capture/Capture.h"

namespace pagestow::capture {

void PageCapture::WriteMhtmlOfCapture()
{
    if (!m_settings.mhtml)
        return;
}

} // namespace pagestow::capture
