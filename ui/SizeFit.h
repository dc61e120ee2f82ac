#pragma once

#include <QStringList>

class QCPAxis;
class QCustomPlot;
class QDialog;
class QWidget;

// Keeps plots readable at every window size: before each replot every axis
// takes the longest of its titles that fits along it (the last one elided
// when none does), logarithmic axes label at most one decade per
// kLogLabelPixels and linear value axes one value per kValueLabelPixels, so
// tick labels never run into each other. The time axes' own tick counts stay.
inline constexpr int kLogLabelPixels = 56;
inline constexpr int kValueLabelPixels = 32;
void KeepAxesFitting(QCustomPlot* plot);
// Both axes logarithmic with decade labels ("10^n") and a grid of eight
// sub-ticks per decade: the log-log plots of the deviations.
void MakeLogLogAxes(QCustomPlot* plot);
// The titles of an axis, longest first.
void SetAxisTitles(QCPAxis* axis, const QStringList& titles);
// The title KeepAxesFitting chooses for `length` pixels.
QString FittingAxisTitle(const QCPAxis* axis, int length);

// A dialog at least wide enough for its whole title in the title bar, now
// and after every change of the title.
void FitDialogToTitle(QDialog* dialog);

// Moves (and if need be shrinks) a window so that it lies inside `area`.
void KeepInside(QWidget* window, const QWidget* area);
