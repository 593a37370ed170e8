#pragma once
// The --metrics HTTP endpoint (GET /metrics, Prometheus text format), served by prometheus-cpp's
// exposer on threads of its own. Both calls do nothing while the endpoint is off.

// Foreground, before detaching: Terminate(6, ...) unless the endpoint's address can be bound,
// so that a taken port is reported where the operator sees it.
void CheckMetricsEndpoint();
// After detaching, with the control signals blocked (the server's threads inherit the block):
// starts serving; Terminate(6, ...) if the address has been taken in between.
void StartMetricsEndpoint();
