// The two evolution loops: on a dataset, and on a fitness function.
#pragma once
