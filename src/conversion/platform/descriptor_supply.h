// File descriptors: the run needs a few at once beside those it starts with. Short of them, the
// window toolkit hangs or aborts, and the video or its read-back fails at the end; so they are
// counted before the first frame.
#pragma once

#include <string>

// The most the run holds at once beside those open before it, with `imageLoaders` threads
// loading images (each frame worker, and the loop loading one again in its turn), one each:
// with a video, 4 (its new file and the writer's, plus two that keep the encoder's messages
// aside while it works, or one of those and the read-back's reader), two of which are free while
// images are loaded; with a window, 6 more (the toolkit's display connection, seqcat's own watch
// on it, three event queues and the icon cache), measured with Qt 5.
int descriptorsNeeded(bool saveVideo, bool showWindow, int imageLoaders);

// True when `count` more descriptors can be opened now; otherwise says how many can.
bool descriptorsCanBeOpened(int count, std::string* whyNot);
