#include "link.h"

#include "../app/kp6form.h"
#include "../i18n/gett.h"
#include "../port/plainw.h"
#include "exchange.h"

unsigned char window_address(void)
{
    return address_from_text(MainForm->AddressInput->value());
}

int rd_wr_memory(unsigned int& word, unsigned char command)
{
    return device_exchange(port, window_address(), word, command);
}

int TestButton_OnClick(Fl_Widget*)
{
    if (port == 0) {
        show_alert(gettext_easy("Please open port"));
        return 0;
    }
    if (!device_test(port, window_address())) {
        show_alert(gettext_easy("No reply"));
        return 0;
    }
    show_alert(gettext_easy("Ok"));
    clear_buf(port);  // after the box is closed: the reply and what followed
    return 0;
}
