#pragma once

#include "captureview.h"

#include <QString>

// The caption of each of the window's record boxes, kept here so that a message about a field
// names it exactly as the window labels it. Text8, which has no caption of its own, is named
// after the date it shows.
QString fieldCaption(CaptureView::Field field);
