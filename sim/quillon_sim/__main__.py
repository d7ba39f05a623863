import sys

from quillon_sim.qmt_agent import main

sys.exit(main())
