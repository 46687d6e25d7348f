// The sub-format GUIDs of WAVE_FORMAT_EXTENSIBLE that stand for a plain format tag
// (KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT): the tag, then a common suffix.
#pragma once

#include "platform/platform.h"

/* The sub-format that stands for format_tag (WAVE_FORMAT_PCM or WAVE_FORMAT_IEEE_FLOAT). */
GUID wave_subformat(WORD format_tag);

/* The format tag that subformat stands for, or 0 when it is not one of that kind. */
DWORD wave_subformat_tag(const GUID& subformat);
