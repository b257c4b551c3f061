// The help text as the manual gives it, kept apart from the program's own copy so a slip in
// either shows up.
#pragma once

inline const char kExpectedHelpText[] =
    "seqcat [input image basefilename=f] [options] [output video=video.avi]\n"
    "\n"
    "Description:\n"
    "\tCreates a video from a sequence of images.  By default this function\n"
    "\tloads files f000.jpg, f001.jpg, ..., f010.jpg and generates a video\n"
    "\tnamed video.avi at 15 fps.\n"
    "\n"
    "\tNote:\n"
    "\tThe option to select video codecs for BSD/Linux is not supported in\n"
    "\tthe current version, and needs recompiling the source files with the\n"
    "\tcodec parameter appropriatly set in the CvVideoWriter structure\n"
    "\tinstead of using -1.\n"
    "\n"
    "Options:\n"
    "\t-h   Prints this help.\n"
    "\t-nv  Turns verbose off.\n"
    "\t-np  Do not wait for user to press ESC when done.\n"
    "\t-nd  Do not display images.\n"
    "\t-no  Do not save the output.\n"
    "\t-e   Filename extension [=jpg]\n"
    "\t-sq initial_value final_value\n"
    "\t     Applies seqcat to a sequence of images\n"
    "\t     By default the sequence range is assumed to be between 0 and 10\n"
    "\t     with zero-padding = 3, i.e. 000, 001, ..., 010.\n"
    "\t-zp num  Pad filename suffix with num zeros.\n"
    "\t-fps num Sets the frame rate (in frames per second).\n"
    "\t         By default fps is assumed to be 15 fps.\n"
    "\n";
