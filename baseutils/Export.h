#pragma once

// Marks what the plug-in library exports; everything else stays hidden.
#define KVO_EXPORT __attribute__((visibility("default")))
