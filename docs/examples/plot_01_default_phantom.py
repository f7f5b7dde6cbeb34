"""
The default phantom
===================

The experiment that ``python -m korvel simulate`` runs: hyperpolarized pyruvate arrives as a
gamma-variate bolus in a 32 x 32 slice of muscle holding a tumour with a poorly perfused
necrotic core, beside a vessel, and converts to lactate and alanine. It is read out every 3 s,
pyruvate with smaller flip angles than its products, by four coils around the slice.
"""

import matplotlib.pyplot as plt
import numpy as np

import korvel

experiment = korvel.default_experiment()
result = korvel.simulate(experiment)

# %%
# The input and the acquisition
# -----------------------------
# The bolus delivers pyruvate into every voxel, scaled by the voxel's delivery (perfusion). Each
# metabolite is excited with its own flip angle: a small one spares pyruvate's polarization for
# conversion, larger ones read out more of the products.

time = np.linspace(0.0, result.time[-1], 600)
bolus = experiment.inflow.bolus.rate(time)

figure, (top, bottom) = plt.subplots(2, 1, figsize=(6.4, 4.6), sharex=True)
top.plot(time, bolus, color="0.3")
top.set_ylabel("bolus input (dose/s)")
top.set_title(f"Bolus ({experiment.inflow.bolus.shape}, arrival "
              f"{experiment.inflow.bolus.arrival:g} s) and flip angles")
for name, angles in zip(result.metabolites, result.metabolite_flip_angles):
    bottom.plot(result.time, angles, "o-", markersize=3, label=name)
bottom.legend(frameon=False, fontsize="small")
bottom.set_ylabel("flip angle (degrees)")
bottom.set_xlabel("time (s)")
for axis in (top, bottom):
    axis.grid(alpha=0.3)
figure.tight_layout()

# %%
# The signal of each metabolite per region
# ----------------------------------------
# ``region_curves`` averages the coil-combined magnitude over each region's voxels.

curves = result.region_curves()
regions = result.region_names()
figure, axes = plt.subplots(1, len(result.metabolites), figsize=(9.6, 3.4),
                            sharex=True, layout="constrained")
for axis, name, metabolite_curves in zip(axes, result.metabolites, curves):
    for region, curve in zip(regions, metabolite_curves):
        axis.plot(result.time, curve, marker="o", markersize=3, label=region)
    axis.set_title(name)
    axis.set_xlabel("time (s)")
    axis.set_ylabel("signal (a.u.)")
    axis.grid(alpha=0.3)
handles, labels = axes[0].get_legend_handles_labels()
figure.legend(handles, labels, loc="outside right center", frameon=False)
figure.suptitle(f"Default phantom: TR {result.repetition_time:g} s, "
                "variable flip angles")

# %%
# The area ratios
# ---------------
# The area under each product's curve over the area under pyruvate's ranks the regions by their
# conversion rates (``result.summary()`` tabulates it with the peaks and their times).

areas = curves.sum(axis=2)  # (metabolite, region)
for r, region in enumerate(regions):
    ratios = ", ".join(f"{name} {areas[m, r] / areas[0, r]:.3f}"
                       for m, name in enumerate(result.metabolites) if m)
    print(f"{region:8s} AUC ratio to pyruvate: {ratios}")
