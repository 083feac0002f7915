#pragma once

// The messages between the WebKit view and its web-process extension. Shared by both sides, which
// cannot include each other's WebKit headers.

namespace pagestow::engine::webkit {

// Extension to view, parameters "(st)": the event below and the frame's id.
inline constexpr const char* kFrameEventMessage = "pagestow.frame";
// A new document was attached to the frame.
inline constexpr const char* kFrameStarted = "started";
// The frame's document fired its load event.
inline constexpr const char* kFrameLoaded = "loaded";
// The frame no longer exists.
inline constexpr const char* kFrameGone = "gone";

// The extension's file, which the view looks for beside the executable before the library folder.
inline constexpr const char* kExtensionFileName = "libpagestow-webkit-extension.so";

// View to extension, no parameters; the reply "as" holds one JSON dump per frame of the page.
inline constexpr const char* kDumpMessage = "pagestow.dump";

// View to extension, parameter "u": the scroll step (0 for the top) every frame of the page takes.
// The reply "s": "none" when no frame can scroll, "end" when every frame shows its end, else "more".
inline constexpr const char* kScrollMessage = "pagestow.scroll";

} // namespace pagestow::engine::webkit
