// The NumPy C-API check at import: the module needs NumPy's C API of 1.23 or later, up to the
// ABI of NumPy 2.
#pragma once

namespace korvel::frame {

// Imports NumPy's multiarray module and checks its C-API capsule, ABI and feature versions and
// byte order. Any failure leaves one ImportError set and returns false.
bool import_numpy_api();

}  // namespace korvel::frame
