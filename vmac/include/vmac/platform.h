// The Apple-named C API of the virtual macOS HID platform (being filled in).
#pragma once
