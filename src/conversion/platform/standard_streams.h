// The standard streams seqcat starts with. A service or cron job may start it with some of them
// closed; the next file opened would then take that number, and messages meant for the console
// would be written into the video, or the window's connection read as console keys.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed (for reading on 0, for
// writing on 1 and 2): what is sent to a closed stream is lost quietly.
void openClosedStandardStreams();
