// The whole GUI class library in one include.
#pragma once

#include "gui/Application.h"
#include "gui/Control.h"
#include "gui/Dialogs.h"
#include "gui/Font.h"
#include "gui/Form.h"
#include "gui/ListView.h"
#include "gui/StdCtrls.h"
