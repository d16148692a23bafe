// The C++ control API of the virtual macOS HID platform (being filled in).
#pragma once
