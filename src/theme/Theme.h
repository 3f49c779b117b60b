#pragma once

// The visual vocabulary every window draws with: the four home designs, five gradients, a few
// self-painting widgets and the two button styles. The widgets read their colours from their own
// palette at paint time, so a window that forces a colour scheme on itself (setPalette) gets the
// kit in that scheme, and the application's light/dark switch reaches every widget at once.
// Including this header brings the whole kit; each piece has a header of its own.

#include "AppTheme.h"
#include "BusyIndicator.h"
#include "Buttons.h"
#include "Capacity.h"
#include "CapacityBar.h"
#include "CapsuleBadge.h"
#include "ColorScheme.h"
#include "DesignWidgets.h"
#include "FieldGroup.h"
#include "IconTile.h"
#include "Labels.h"
#include "Look.h"
#include "RingGauge.h"
#include "SheetHeader.h"
#include "Surfaces.h"
#include "Symbols.h"
