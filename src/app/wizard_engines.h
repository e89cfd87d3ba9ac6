#pragma once
// The wizard bound to the real engines and to the process-wide options.

#include "app/background.h"
#include "app/wizard_window.h"

namespace kel {

OperationEngines ProductionOperationEngines();
WizardServices ProductionWizardServices();
// The window's copy of the process-wide options.
WizardSettings WizardSettingsFromProcessOptions();

}  // namespace kel
