// The per-voxel operations of the module, each defined once: the primitives apply them to a
// whole block, the plan-block drivers to one spin per step. Pure arithmetic on doubles; nothing
// here knows about Python, OpenMP or arrays.
#pragma once

#include "kernels/coupled_longitudinal.hpp"
#include "kernels/free_evolution.hpp"
#include "kernels/longitudinal.hpp"
#include "kernels/multi_pool.hpp"
#include "kernels/rf_rotation.hpp"
#include "kernels/source_interval.hpp"
