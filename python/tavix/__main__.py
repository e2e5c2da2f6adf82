from tavix.cli import main

raise SystemExit(main())
