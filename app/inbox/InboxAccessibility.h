#pragma once

// What assistive technology is told about the inbox's windows beyond what Qt tells by
// itself: the inbox window is a frame, and the fields a message is shown in are read-only
// text, not text to edit. Installs once; each window calls it.
void installInboxAccessibility();
