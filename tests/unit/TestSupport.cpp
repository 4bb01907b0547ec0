#include "tests/unit/TestSupport.h"

namespace testsupport {

const char* const ReadErrorText =
    "An error occurred while trying to read the setup package.  It has most likely been "
    "damaged.  Please obtain a new copy from the vendor.";
const char* const TruncatedText =
    "The setup package has been truncated.  You most likely have an incomplete download.  Try "
    "downloading it again.";
const char* const TempCopyText =
    "An error occurred while trying to create a temporary copy of the setup package.  Please "
    "make sure that you have sufficient access rights to this computer to install software and "
    "that the Windows TEMP folder can be written to.  You can make this installer use a "
    "different folder for its temporary files using the /temp command line parameter followed "
    "by the path to a folder you can write to and run applications from.";
const char* const ExecuteText =
    "The temporary copy of the setup package could not be executed.  Your system may have a "
    "software restriction policy in place that blocks executables in the temporary files "
    "folder.  You can make this installer use a different folder for its temporary files using "
    "the /temp command line parameter followed by the path to a folder you can write to and run "
    "applications from.";

}  // namespace testsupport
