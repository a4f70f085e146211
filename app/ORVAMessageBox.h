#pragma once
// ShowMessageBox on Qt: the platform's standard buttons of the box type, each labelled with
// the resource module's label (strings 142-148) when it has one; the result is the
// platform's identifier of the pressed button. Every button carries that identifier as its
// object name ("4" for Retry).
#include <QMessageBox>

#include <cstdint>

#include "foundation/ORVAUserInterface.h"

// A box ready to show (owned by the caller; on the GUI thread).
QMessageBox* CreateOrvaMessageBox(const ORVA_MESSAGE& msg, QWidget* pOwner);
// The identifier of the button that ended `box` (its escape button when closed).
int OrvaMessageBoxResult(QMessageBox* box);
// Shows a modal box on the GUI thread and returns the pressed button's identifier.
int ShowMessageBox(QWidget* pOwner, const ORVA_MESSAGE& msg);
// The same with texts given directly.
int ShowMessageBox(QWidget* pOwner, const QString& text, const QString& caption, uint32_t ulType);
