"""
The effect of a transmit (B1) error
===================================

Transmit inhomogeneity scales the flip angle in each voxel. Here eleven voxels hold the same
tissue and differ only in their B1 scale, from 0.7 to 1.3 of the nominal 20 degrees. Where the
angle is larger, the signal is larger early and the polarization is used up sooner, so the
lactate-to-pyruvate area ratio that would be read as a conversion measure drifts with the
transmit field alone.
"""

import matplotlib.pyplot as plt
import numpy as np

import korvel

scales = np.linspace(0.7, 1.3, 11)
experiment = korvel.Experiment(
    precursor=korvel.Metabolite("pyruvate", t1=30.0, t2=0.4, chemical_shift=171.0),
    products=(korvel.Metabolite("lactate", t1=25.0, t2=0.4, chemical_shift=183.0),),
    conversion_rates=(0.05,),
    nvoxels=len(scales),
    regions=tuple(f"B1 {scale:.2f}" for scale in scales),
    transmit=scales,
    acquisition=korvel.Acquisition(repetition_time=3.0, excitations=20,
                                   first_excitation=3.0,
                                   flip_angles=korvel.FlipAngles("constant", 20.0)),
    inflow=korvel.Inflow(korvel.Bolus("gamma", arrival=4.0, duration=8.0)),
)
result = korvel.simulate(experiment)
magnitude = result.magnitude()  # (metabolite, voxel, excitation)
ratio = magnitude[1].sum(axis=1) / magnitude[0].sum(axis=1)
nominal = ratio[np.argmin(np.abs(scales - 1.0))]

# %%
# Curves at three B1 scales, and the area ratio over all of them
# --------------------------------------------------------------

figure, axes = plt.subplots(1, 3, figsize=(12.0, 3.8), layout="constrained")
colours = plt.get_cmap("viridis")(np.linspace(0.0, 0.9, len(scales)))
for voxel in (0, len(scales) // 2, len(scales) - 1):
    label = f"B1 × {scales[voxel]:.1f} ({20.0 * scales[voxel]:.0f}°)"
    axes[0].plot(result.time, magnitude[0, voxel], marker="o", markersize=3,
                 color=colours[voxel], label=label)
    axes[1].plot(result.time, magnitude[1, voxel], marker="o", markersize=3,
                 color=colours[voxel])
axes[2].plot(scales, 100.0 * (ratio / nominal - 1.0), marker="o", color="0.2")
axes[2].axhline(0.0, color="0.6", linewidth=0.8)
for axis, title in zip(axes[:2], result.metabolites):
    axis.set_title(title)
    axis.set_xlabel("time (s)")
    axis.set_ylabel("signal (a.u.)")
axes[2].set_title("lactate / pyruvate AUC ratio")
axes[2].set_xlabel("B1 scale")
axes[2].set_ylabel("error against B1 = 1 (%)")
for axis in axes:
    axis.grid(alpha=0.3)
figure.legend(*axes[0].get_legend_handles_labels(), loc="outside lower center", ncols=3,
              frameon=False)
figure.suptitle("Same tissue (kPL 0.05 1/s), constant 20° nominal, TR 3 s")

for scale, value in zip(scales[::5], ratio[::5]):
    error = 100.0 * (value / nominal - 1.0)
    print(f"B1 scale {scale:.2f}: AUC ratio {value:.3f} ({error:+.1f} %)")
