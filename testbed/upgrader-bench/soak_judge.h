#pragma once

#include "image_writer.h"
#include "sim_family.h"

#include <QList>
#include <QStringList>

// Whether a success the engine reported is true of the unit: the target's flash holds the image,
// the base is back on USB and every device runs its application. A device still restarting into
// its application gets grace_ms to come up. Empty when all holds; otherwise what does not.
QStringList SuccessProblems(const SimFamily &family, int dev_id, const QList<ImageSegment> &segments, int grace_ms);
