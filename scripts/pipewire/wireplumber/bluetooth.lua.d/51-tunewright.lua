-- No Bluetooth on the test server: bluez needs the system bus.
bluez_monitor.enabled = false
