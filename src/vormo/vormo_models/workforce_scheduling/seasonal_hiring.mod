/*********************************************************************
 * Seasonal crew planning with hiring, release and overtime
 *
 * A packing shed must cover a monthly workload in labour hours. The
 * crew size can be changed at the start of each month by hiring
 * (limited by the agency) or releasing packers, and each packer may
 * work a limited amount of overtime. The plan minimises wages,
 * overtime pay, hiring and release costs, and keeps a minimum crew at
 * the end of the horizon.
 *
 * Month 0 stands for the situation today, before the plan starts.
 *********************************************************************/

// Number of months in the plan.
int nbMonths = ...;

// Months of the plan, and the same months together with month 0.
range Months = 1..nbMonths;
range MonthsFrom0 = 0..nbMonths;

// Packers employed today.
int initialCrew = ...;

// Regular hours one packer provides per month.
float regularHours = ...;

// Maximum overtime hours per packer per month.
float maxOvertimePerPacker = ...;

// Workload to be covered in each month, in hours.
float workload[Months] = ...;

// Monthly wage of one packer, in dollars.
float wage = ...;

// Cost of one overtime hour.
float overtimeRate = ...;

// Cost of hiring one packer, and of releasing one.
float hireCost = ...;
float releaseCost = ...;

// Most packers the agency can supply in a month.
int maxHiresPerMonth = ...;

// Smallest crew allowed at the end of the last month.
int minFinalCrew = ...;

// crew[t] = packers employed during month t (crew[0] is today's crew).
dvar int+ crew[MonthsFrom0];

// hired[t] and released[t] = packers who join or leave at the start of month t.
dvar int+ hired[Months] in 0..maxHiresPerMonth;
dvar int+ released[Months];

// overtime[t] = overtime hours worked in month t, over the whole crew.
dvar float+ overtime[Months];

// Cost components, kept apart so the solution can be read easily.
dexpr float wageBill = sum(t in Months) wage * crew[t];
dexpr float overtimeBill = sum(t in Months) overtimeRate * overtime[t];
dexpr float changeBill = sum(t in Months) (hireCost * hired[t] + releaseCost * released[t]);

// Objective: total cost of the six-month plan.
minimize totalCost: wageBill + overtimeBill + changeBill;

subject to {
  // The plan starts from today's crew.
  startingCrew: crew[0] == initialCrew;

  // Crew balance: last month's crew plus hires minus releases.
  forall(t in Months)
    crewBalance: crew[t] == crew[t - 1] + hired[t] - released[t];

  // Regular and overtime hours together cover the workload.
  forall(t in Months)
    coverWorkload: regularHours * crew[t] + overtime[t] >= workload[t];

  // Overtime is limited per packer on the crew.
  forall(t in Months)
    overtimeLimit: overtime[t] <= maxOvertimePerPacker * crew[t];

  // Keep a core crew for the next season.
  finalCrew: crew[nbMonths] >= minFinalCrew;
}
