// The window's side of the device link: the exchange with the address
// typed in the window, and the Test button.
#ifndef KP6_LINK_H
#define KP6_LINK_H

#include <FL/Fl_Widget.H>

// The bus address typed in AddressInput.
unsigned char window_address(void);
// One exchange on the window's port with the address in AddressInput.
int rd_wr_memory(unsigned int& word, unsigned char command);
int TestButton_OnClick(Fl_Widget* w);

#endif
