// What an exported function needs from the frame: binding, array views, the parallel region.
#pragma once

#include "frame/array_contract.hpp"
#include "frame/binder.hpp"
#include "frame/parallel.hpp"
