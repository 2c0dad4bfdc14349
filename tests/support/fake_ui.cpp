#include "support/fake_ui.h"

#include "host/server_setup_form.h"

int FakeUi::showServerSetup(TServerSetupForm& form)
{
    if (!serverSetupPort.empty()) form.port = serverSetupPort;
    form.autoStart = serverSetupAutoStart;
    return serverSetupResult;
}
