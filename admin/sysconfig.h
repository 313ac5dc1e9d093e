// sysconfig: the system configuration form and its update.
#pragma once

void HXsysconfig();
void HXconfigupdate();
