#include "training/evolution.hpp"
