/*********************************************************************
 * Server consolidation (two-resource bin packing)
 *
 * Virtual machines with a core and a memory reservation are placed on
 * identical hosts. Each VM runs on exactly one host, and on each host
 * both resources must fit. Minimise the number of hosts left powered on.
 *********************************************************************/

// A virtual machine and what it reserves.
tuple VirtualMachine {
  string name;   // identifier of the VM
  int cores;     // reserved CPU cores
  int memory;    // reserved memory in GB
}

// The VMs that must keep running.
{VirtualMachine} VMs = ...;

// Number of physical hosts in the rack.
int nHosts = ...;

// Hosts are numbered 1..nHosts.
range Hosts = 1..nHosts;

// Cores and memory (GB) of every host.
int hostCores = ...;
int hostMemory = ...;

// on[h] is 1 when host h stays powered on.
dvar boolean on[Hosts];

// place[v][h] is 1 when VM v runs on host h.
dvar boolean place[VMs][Hosts];

// Objective: the number of hosts that stay powered on.
minimize hostsOn: sum(h in Hosts) on[h];

subject to {
  // Each VM lives on exactly one host.
  forall(v in VMs)
    placeEachVM: sum(h in Hosts) place[v][h] == 1;

  // Core and memory reservations fit on every powered host; a host
  // that is switched off runs nothing.
  forall(h in Hosts) {
    coreLimit:   sum(v in VMs) v.cores * place[v][h] <= hostCores * on[h];
    memoryLimit: sum(v in VMs) v.memory * place[v][h] <= hostMemory * on[h];
  }
}
