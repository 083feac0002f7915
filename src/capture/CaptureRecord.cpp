#include "capture/CaptureRecord.h"

namespace pagestow::capture {

CaptureOptions& Options()
{
    static CaptureOptions options;
    return options;
}

CaptureRecord& LastCapture()
{
    static CaptureRecord record;
    return record;
}

} // namespace pagestow::capture
