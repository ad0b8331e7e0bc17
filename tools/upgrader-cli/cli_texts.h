#pragma once

#include "bilingual.h"

// The command's own operator texts; --lang (or the configuration's is_english) picks the wording
// when it is shown. The launch's refusals and checks (launch_checks.h) and the configuration's
// failures bring their own two.

namespace CliTexts {

extern const Bilingual kUpdateSuccess;
extern const Bilingual kUpdateFailed;
extern const Bilingual kAlreadyCurrent;      // %1 the image's version, %2 the version the device reports
extern const Bilingual kHistoryNotWritten;   // %1 the history's warning
extern const Bilingual kHistoryNotWritable;  // %1 why the history cannot take a record
extern const Bilingual kDoneNotRecorded;     // %1 the unit's result (upgraded, or already current)
extern const Bilingual kPortNotOpenedByJob;  // %1 the port
extern const Bilingual kImageNotLoaded;      // %1 the path
extern const Bilingual kStoppedByTimeout;    // %1 seconds
extern const Bilingual kStoppedBySigint;
extern const Bilingual kStoppedBySigterm;
extern const Bilingual kStoppedBySighup;
extern const Bilingual kJobDidNotEnd;        // %1 seconds
extern const Bilingual kNoFamilyDevice;
extern const Bilingual kNoDeviceAtPort;      // %1 the location or port name asked for
extern const Bilingual kSeveralFamilyDevices;
extern const Bilingual kBaseInApp;
extern const Bilingual kBaseInBoot;
extern const Bilingual kBaseNotSwitched;     // %1 the mode wanted (kModeApp or kModeBoot), %2 seconds
extern const Bilingual kBaseAlreadyInApp;
extern const Bilingual kBaseAlreadyInBoot;
extern const Bilingual kConfigInFile;        // %1 the reader's warning, %2 the file
extern const Bilingual kConfigIsFolder;      // %1 the reader's warning, %2 the folder
extern const Bilingual kNoConfigInFolder;    // %1 the discovery's warning, %2 the folder
extern const Bilingual kConfigWrongType;     // %1 the file, %2 field, %3 what it must be, %4 what it is
extern const Bilingual kFamilyDeviceId;      // what a dev_id must be: %1 the lowest id, %2 the highest
extern const Bilingual kTargetNotConfigured; // %1 the file, %2 the target, %3 the targets it has
extern const Bilingual kNoVariantConfigured; // %1 the file, %2 the target
extern const Bilingual kDeviceNotUpgradable; // %1 the file, %2 the target, %3 its dev_id, %4..%5 those upgraded
extern const Bilingual kModeApp;
extern const Bilingual kModeBoot;

}  // namespace CliTexts
