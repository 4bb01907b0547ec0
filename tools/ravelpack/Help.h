#pragma once

// The text of `ravelpack --help`.
extern const char* const HelpText;
