// One include for the platform services the subsystems use: the Windows API itself on Windows,
// our own implementation of the same calls elsewhere, plus the runtime file services and the key
// prompt, which differ between the runtimes.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#else
#include "platform/win32_compat.h"
#endif

#include "platform/command_line.h"
#include "platform/file_services.h"
#include "platform/input_devices.h"
#include "platform/key_prompt.h"
