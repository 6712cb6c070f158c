package example.zelk.ws;

import java.util.ArrayList;
import java.util.List;
import javax.xml.namespace.QName;
import org.apache.axis.AxisFault;
import org.apache.axis.Constants;

/**
 * The getDistance operation. Problems the caller can act on (codes, ports, route option,
 * daily limit) come back as a normal answer with a non-zero retCode; a request that is not a
 * well-formed call (a missing or nil parameter) is refused with a SOAP Client fault.
 */
public class ZelkDistanceService {
    public static final int RC_OK = 0;
    public static final int RC_UNKNOWN_OPTION = 1;
    public static final int RC_BAD_CODES = 2;
    public static final int RC_UNKNOWN_PORT = 3;
    public static final int RC_NO_ROUTE = 4;
    public static final int RC_DAY_LIMIT = 5;

    private static final String PIN = "QXVJ";
    private static final String ACCESS_CODE = "QXVJ";

    private static final UsageCounter USAGE =
            new UsageCounter(Integer.getInteger("zelk.dayLimit", 100));

    public GetDistReturn getDistance(String pinCode, String accessCode, String[] portNames,
            String PiracyCode) throws AxisFault {
        require(pinCode, "pinCode");
        require(accessCode, "accessCode");
        require(portNames, "portNames");
        require(PiracyCode, "PiracyCode");
        for (int i = 0; i < portNames.length; i++) {
            require(portNames[i], "portNames[" + i + "]");
        }

        GetDistReturn ret = new GetDistReturn();
        if (!PIN.equals(pinCode) || !ACCESS_CODE.equals(accessCode)) {
            return fail(ret, RC_BAD_CODES, "Invalid PIN or access code");
        }
        ret.setDayLimit(USAGE.dayLimit());
        ret.setTodayUsed(USAGE.used(pinCode));
        if (ret.getTodayUsed() >= ret.getDayLimit()) {
            return fail(ret, RC_DAY_LIMIT, "Daily limit of " + ret.getDayLimit() + " requests reached");
        }

        String option = PiracyCode.trim();
        String okMessage = "OK";
        if (option.isEmpty()) {
            // The client sends an empty code when no option is selected: serve the shortest route.
            option = RouteBook.SHORTEST;
            okMessage = "OK - no route option given, shortest route used";
        } else if (!RouteBook.isOption(option)) {
            return fail(ret, RC_UNKNOWN_OPTION,
                    "Unknown route option code '" + PiracyCode + "' (use 001 to 005)");
        }

        if (portNames.length < 2) {
            return fail(ret, RC_NO_ROUTE, "At least two ports are required");
        }
        List<RouteBook.Port> ports = new ArrayList<>();
        for (String name : portNames) {
            RouteBook.Port port = RouteBook.port(name);
            if (port == null) {
                return fail(ret, RC_UNKNOWN_PORT, "Unknown port '" + name + "'");
            }
            ports.add(port);
        }

        Section[] sections = new Section[ports.size() - 1];
        double total = 0;
        double totalSeca = 0;
        for (int i = 0; i < sections.length; i++) {
            RouteBook.Port from = ports.get(i);
            RouteBook.Port to = ports.get(i + 1);
            if (!RouteBook.hasLeg(from, to)) {
                return fail(ret, RC_NO_ROUTE, "No route from " + from.name + " to " + to.name);
            }
            sections[i] = RouteBook.leg(from, to, option);
            total += sections[i].getDistance();
            totalSeca += sections[i].getDistanceSECA();
        }

        int used = USAGE.tryUse(pinCode);
        if (used < 0) {
            ret.setTodayUsed(ret.getDayLimit());
            return fail(ret, RC_DAY_LIMIT, "Daily limit of " + ret.getDayLimit() + " requests reached");
        }
        ret.setTodayUsed(used);
        ret.setRetCode(RC_OK);
        ret.setRetMessage(okMessage);
        ret.setSections(sections);
        ret.setTotalDistance(RouteBook.round1(total));
        ret.setTotalDistanceSECA(RouteBook.round1(totalSeca));
        return ret;
    }

    private static GetDistReturn fail(GetDistReturn ret, int code, String message) {
        ret.setRetCode(code);
        ret.setRetMessage(message);
        ret.setSections(new Section[0]);
        ret.setTotalDistance(0);
        ret.setTotalDistanceSECA(0);
        return ret;
    }

    private static void require(Object value, String name) throws AxisFault {
        if (value == null) {
            AxisFault fault = new AxisFault(new QName(Constants.URI_SOAP11_ENV, "Client"),
                    "Missing parameter: " + name, null, null);
            // The caller's mistake: our stack and host name are of no use to it.
            fault.removeFaultDetail(Constants.QNAME_FAULTDETAIL_STACKTRACE);
            fault.removeHostname();
            throw fault;
        }
    }
}
