# Finds the few OpenCV modules seqcat uses. Debian ships OpenCV's CMake package only with the
# full libopencv-dev, so the modules are found one by one and wrapped in one target of the
# project's own, seqcat::opencv (not in OpenCV's namespace: OpenCV does not export it).
find_path(OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
set(SEQCAT_OPENCV_MODULES core imgproc imgcodecs videoio highgui)
add_library(seqcat_opencv INTERFACE)
target_include_directories(seqcat_opencv SYSTEM INTERFACE ${OPENCV_INCLUDE_DIR})
foreach(module IN LISTS SEQCAT_OPENCV_MODULES)
  find_library(OPENCV_${module}_LIBRARY opencv_${module} REQUIRED)
  target_link_libraries(seqcat_opencv INTERFACE ${OPENCV_${module}_LIBRARY})
endforeach()
add_library(seqcat::opencv ALIAS seqcat_opencv)

# OpenCV 4.10 and later can put frames that are already encoded into a video as they are
# (VIDEOWRITER_PROP_RAW_VIDEO): seqcat then copies JPEG images into Motion JPEG videos.
set(CMAKE_REQUIRED_INCLUDES ${OPENCV_INCLUDE_DIR})
check_cxx_source_compiles([[
#include <opencv2/videoio.hpp>
int main() { return cv::VIDEOWRITER_PROP_RAW_VIDEO; }
]] SEQCAT_OPENCV_WRITES_ENCODED_FRAMES)
unset(CMAKE_REQUIRED_INCLUDES)
if(SEQCAT_OPENCV_WRITES_ENCODED_FRAMES)
  target_compile_definitions(seqcat_opencv INTERFACE SEQCAT_COPIES_JPEG_FRAMES=1)
endif()
