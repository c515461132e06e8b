#include <gtest/gtest.h>

#include "SendRecvThread.h"
